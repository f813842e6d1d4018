#include "ui/ui_style.h"

#include <QApplication>
#include <QFontDatabase>
#include <QStringList>

namespace corvane::ui {

QColor textGrey() {
    return QColor::fromRgbF(0.4f, 0.4f, 0.4f, 1.0f);
}
QColor accentBlue() {
    return QColor::fromRgbF(0.22745098f, 0.40784314f, 0.7647059f, 1.0f);
}
QColor promptGrey() {
    return QColor::fromRgbF(0.23529412f, 0.23529412f, 0.23529412f, 1.0f);
}
QColor promptBackground() {
    return QColor::fromRgbF(0.9607843f, 0.9647059f, 0.96862745f, 1.0f);
}
QColor systemBlue() {
    return QColor(0, 122, 255);
}
QColor dividerColor() {
    return QColor(0, 0, 0, 26);
}

QColor toQColor(const Rgba& colour) {
    return QColor::fromRgbF(static_cast<float>(colour.red), static_cast<float>(colour.green),
                            static_cast<float>(colour.blue), static_cast<float>(colour.alpha));
}

namespace {

// Families tried before the platform default. macOS's system font falls back to PingFang for
// Chinese by itself; elsewhere the default family often lacks CJK glyphs and Qt's per-glyph
// fallback mixes families within one line, so a CJK family that also has good Latin goes first.
QStringList preferredFamilies() {
#if defined(__APPLE__)
    return {};
#else
    static const QStringList families = [] {
        QStringList found;
        const QStringList available = QFontDatabase::families();
        for (const char* name : {"Noto Sans CJK SC", "Source Han Sans SC", "WenQuanYi Micro Hei",
                                 "Noto Sans SC", "Droid Sans Fallback"}) {
            if (available.contains(QString::fromUtf8(name))) {
                found << QString::fromUtf8(name);
            }
        }
        return found;
    }();
    return families;
#endif
}

}  // namespace

QFont uiFont(int size) {
    return uiFont(size, QFont::Normal);
}

QFont uiFont(int size, QFont::Weight weight) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    QStringList families = preferredFamilies();
    if (!families.isEmpty()) {
        families << font.families();
        font.setFamilies(families);
    }
    font.setPixelSize(size);
    font.setWeight(weight);
    font.setStyleStrategy(QFont::PreferAntialias);
    return font;
}

QUrl userAgreementUrl() {
    return QUrl(QStringLiteral("https://www.corvane.com/privacy/viewerappLicense.html"));
}

QUrl privacyNoticeUrl() {
    return QUrl(QStringLiteral("https://www.corvane.com/privacy/viewerappprivace.html"));
}

QUrl feedbackUrl() {
    return QUrl(QStringLiteral("https://www.corvane.com/feedback/"));
}

}  // namespace corvane::ui
