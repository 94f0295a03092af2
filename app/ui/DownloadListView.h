#pragma once

#include <QTableWidget>

// A report list whose mouse presses are announced after the list has handled
// them (so a right press has already selected the row under the mouse).
class DownloadListView : public QTableWidget {
    Q_OBJECT
public:
    using QTableWidget::QTableWidget;

signals:
    void mousePressed(Qt::MouseButton button, const QPoint& position);

protected:
    void mousePressEvent(QMouseEvent* event) override;
};
