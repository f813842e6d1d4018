#include "ui/drag_menu_view.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

#include "ui/check_box_toggle.h"
#include "ui/ui_style.h"

namespace corvane::ui {
namespace {

constexpr int kAboveDivider = 10;
constexpr int kDividerHeight = 1;
constexpr int kBoxLeft = 20;
constexpr int kBoxAbove = 10;
constexpr int kBoxBelow = 10;

// One column: the box at the left of the available width, with its margins.
QWidget* column(QWidget* parent, QWidget* box) {
    auto* holder = new QWidget(parent);
    auto* layout = new QHBoxLayout(holder);
    layout->setContentsMargins(kBoxLeft, kBoxAbove, 0, kBoxBelow);
    layout->setSpacing(0);
    layout->addWidget(box, 0, Qt::AlignLeft | Qt::AlignTop);
    layout->addStretch(1);
    return holder;
}

}  // namespace

DragMenuView::DragMenuView(ContentView& controller, QWidget* parent)
    : QWidget(parent), mController(controller) {
    setObjectName(QStringLiteral("dragMenuView"));
    setFixedHeight(kHeight);

    mSetDefault = new CheckBoxToggle(
        {TextRun{QStringLiteral("设置Corvane为默认PDF阅读器，并防止篡改"), std::nullopt, QUrl()}},
        this);
    mSetDefault->setObjectName(QStringLiteral("setDefaultToggle"));
    connect(mSetDefault, &QAbstractButton::clicked, this,
            [this](bool checked) { mController.setIsSetDefault(checked); });

    mPermitService = new CheckBoxToggle(
        {TextRun{QStringLiteral("允许安装阅读、转换服务"), std::nullopt, QUrl()}}, this);
    mPermitService->setObjectName(QStringLiteral("permitServiceToggle"));
    QSizePolicy keepPlace = mPermitService->sizePolicy();
    keepPlace.setRetainSizeWhenHidden(true);
    mPermitService->setSizePolicy(keepPlace);
    mPermitService->hide();

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, kAboveDivider + kDividerHeight, 0, 0);
    layout->setSpacing(0);
    auto* row = new QHBoxLayout();
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    row->addWidget(column(this, mSetDefault), 1, Qt::AlignTop);
    row->addWidget(column(this, mPermitService), 1, Qt::AlignTop);
    layout->addLayout(row);
    layout->addStretch(1);
    refresh();
}

void DragMenuView::refresh() {
    mSetDefault->showValue(mController.isSetDefault());
    mPermitService->showValue(mController.isPermitInstallService());
}

void DragMenuView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(QRect(0, kAboveDivider, width(), kDividerHeight), dividerColor());
}

}  // namespace corvane::ui
