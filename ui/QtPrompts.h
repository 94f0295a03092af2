#pragma once

#include "ui/core/Prompts.h"

class QWidget;

// The real message boxes and open-file dialog.
class QtPrompts : public Prompts {
public:
    explicit QtPrompts(QWidget* parent = nullptr) : parent_(parent) {}
    void SetParent(QWidget* parent) { parent_ = parent; }

    void ErrorBox(const std::string& message) override;
    void PlainBox(const std::string& message) override;
    void AbortBox(const std::string& title, const std::string& message) override;
    std::string OpenFileName(const OpenFileOptions& options) override;
    std::string SaveFileName(const std::string& proposed) override;

private:
    QWidget* parent_;
};
