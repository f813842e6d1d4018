# Copies the telemetry resources into the bundle when they exist (they are written separately
# and may be missing in an early checkout). Run with -DSOURCE_DIR=... -DDEST_DIR=...
foreach(name vfmt.dat vctrl.dat)
  if(EXISTS "${SOURCE_DIR}/${name}")
    file(COPY "${SOURCE_DIR}/${name}" DESTINATION "${DEST_DIR}")
  endif()
endforeach()
