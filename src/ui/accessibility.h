#pragma once
// What assistive technologies (VoiceOver on a Mac, the AT-SPI bus on Linux) are told about the
// window's own drawn parts, which Qt alone would show as nameless fillers: the links as links,
// the setup's bars as progress bars with a value, the agreement prompt as a dialog, the exit
// panel and the running alert as alerts, and the drawn texts as text.
namespace corvane::ui {

// Installs the accessibility factory for those classes; later calls do nothing. Each such
// widget calls it when it is built, before anything can ask for its accessible object.
void installAccessibility();

}  // namespace corvane::ui
