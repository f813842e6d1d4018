// Window tests: Qt's offscreen platform, a 1440 × 900 main screen, the main queue on Qt's loop.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <memory>
#include <string_view>

#include <unistd.h>

#include "platform/main_queue.h"
#include "ui/pictures.h"
#include "ui/qt_main_queue.h"

namespace {

// The offscreen platform says for every window that it cannot raise it; nothing here needs that.
void quietOffscreenNotices(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (text.startsWith(QStringLiteral("This plugin does not support"))) {
        return;
    }
    qt_message_output(type, context, text);
}

}  // namespace

int main(int argc, char** argv) {
    // Listing the tests needs no application (and keeps sanitizer builds of Qt quiet).
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--gtest_list_tests") {
            ::testing::InitGoogleTest(&argc, argv);
            return RUN_ALL_TESTS();
        }
    }
    qInstallMessageHandler(quietOffscreenNotices);
    // The platform reads its screens from a file of this process, removed once it is read.
    const QString config = QDir::temp().filePath(
        QStringLiteral("corvane-gui-offscreen-%1.json").arg(static_cast<qint64>(::getpid())));
    {
        QFile file(config);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            file.write(R"({"synchronousWindowSystemEvents": true, "windowFrameMargins": false,
 "screens": [{"name": "main", "x": 0, "y": 0, "width": 1440, "height": 900,
 "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})");
        }
    }
    qputenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + config).toLocal8Bit());
    QApplication app(argc, argv);
    QFile::remove(config);
    QApplication::setQuitOnLastWindowClosed(false);
    corvane::ui::Pictures::initResources();

    auto queue = std::make_shared<corvane::ui::QtMainQueue>();
    corvane::platform::setMainQueue(queue);

    ::testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    corvane::platform::setMainQueue(nullptr);
    return status;
}
