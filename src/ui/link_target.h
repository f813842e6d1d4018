#pragma once
// One link of a drawn text as a control of its own, laid over the link's words: it takes the
// keyboard focus (Tab), draws a focus ring round the words while the keyboard is in use, opens
// the link with Return or Space, and stands for the link to assistive technologies (role
// link, the words as its name, a press action that opens the address). It draws nothing else
// and lets every pointer event through to the text beneath, which opens links on click.
#include <QList>
#include <QUrl>
#include <QWidget>
#include <functional>

#include "ui/rich_text.h"

namespace corvane::ui {

class LinkTarget : public QWidget {
    Q_OBJECT
  public:
    LinkTarget(const QString& label, QUrl url, const QRect& area, QWidget* parent);

    [[nodiscard]] const QUrl& url() const { return mUrl; }
    // Opens the address in the default web browser.
    void open() const;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

  private:
    QUrl mUrl;
};

// A LinkTarget over every link run of `runs` in `host`, each where `areaOf(link)` says (host
// coordinates), in reading order, which is also their order for Tab.
QList<LinkTarget*> addLinkTargets(QWidget& host, const QList<TextRun>& runs,
                                  const std::function<QRect(const QUrl&)>& areaOf);

}  // namespace corvane::ui
