// Placeholder translation unit so a library can be declared before its sources land.
