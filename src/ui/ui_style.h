#pragma once
// The window's visual vocabulary: its colours, its one font family and the web pages it links.
// Every screen takes its look from here so that the whole window stays consistent.
#include <QColor>
#include <QFont>
#include <QString>
#include <QUrl>

#include "setup/content_view.h"

namespace corvane::ui {

// Default colour of every text in the window (the controller's text colour).
[[nodiscard]] QColor textGrey();
// Progress fill, the install button's caption, links.
[[nodiscard]] QColor accentBlue();
// Text and background of the agreement prompt.
[[nodiscard]] QColor promptGrey();
[[nodiscard]] QColor promptBackground();
// The platform's standard blue: the retry and reinstall controls, the platform progress bar.
[[nodiscard]] QColor systemBlue();
// The hairline that separates the options drawer from the main area.
[[nodiscard]] QColor dividerColor();

[[nodiscard]] QColor toQColor(const Rgba& colour);

// The system font in regular weight at `size` points (one point is one logical pixel, as on
// macOS), with a CJK-capable family first where the platform's default has no Chinese glyphs.
[[nodiscard]] QFont uiFont(int size);
// The same at a heavier weight, for titles.
[[nodiscard]] QFont uiFont(int size, QFont::Weight weight);

// macOS's default text size for controls and labels that name no size.
inline constexpr int kDefaultFontSize = 13;
// SwiftUI's default padding on every side.
inline constexpr int kDefaultMargin = 16;

// The vendor's pages that the screens link.
[[nodiscard]] QUrl userAgreementUrl();
[[nodiscard]] QUrl privacyNoticeUrl();
[[nodiscard]] QUrl feedbackUrl();

}  // namespace corvane::ui
