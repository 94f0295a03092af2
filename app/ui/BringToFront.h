#pragma once

class QWidget;

// Shows a window above the others and gives it the focus, restoring it first
// when it is minimised; a maximised window stays maximised.
void BringToFront(QWidget& window);
