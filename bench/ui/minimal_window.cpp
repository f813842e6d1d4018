// The reference for the setup's start-up figure: the least a Qt Widgets program does to show a
// window of the setup's size with some text, so the difference is what the setup itself adds.
#include <QApplication>
#include <QLabel>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Minimal Qt window"));
    window.setFixedSize(680, 492);
    QLabel label(QStringLiteral("A minimal Qt Widgets window"), &window);
    label.setAlignment(Qt::AlignCenter);
    label.setGeometry(0, 0, 680, 492);
    window.show();
    return QApplication::exec();
}
