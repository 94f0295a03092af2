#include "app/ui/DownloadListView.h"

#include <QMouseEvent>

void DownloadListView::mousePressEvent(QMouseEvent* event) {
    QTableWidget::mousePressEvent(event);
    emit mousePressed(event->button(), event->position().toPoint());
}
