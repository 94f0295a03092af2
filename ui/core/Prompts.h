#pragma once

#include <exception>
#include <string>

// The message boxes and the open-file and save-file dialogs, reached through one interface so
// that tests can answer them without a modal loop. The windows get the real
// implementation (ui/QtPrompts.h); tests pass a recorder.
class Prompts {
public:
    virtual ~Prompts() = default;

    // The standard error box: StandardErrorText(message), an error icon, the
    // title "Quilvane" and one OK button.
    virtual void ErrorBox(const std::string& message) = 0;
    // A box without an icon, the title "Quilvane" and one OK button.
    virtual void PlainBox(const std::string& message) = 0;
    // An error icon, the given title and the single button "Abort".
    virtual void AbortBox(const std::string& title, const std::string& message) = 0;

    struct OpenFileOptions {
        std::string filter;           // e.g. "Vesko segment file (*.sdl)"
        std::string defaultExtension; // without the dot
        bool showHidden = true;
    };
    // The chosen path, or empty text when the user cancelled.
    virtual std::string OpenFileName(const OpenFileOptions& options) = 0;
    // A file to save to, starting at `proposed`; an existing file may be
    // chosen without a question. Empty text when the user cancelled.
    virtual std::string SaveFileName(const std::string& proposed) = 0;
};

// The message as the standard error box shows it: a full stop is added when
// the last character sorts after ".", so "!" and "." endings get none.
std::string StandardErrorText(const std::string& message);

// Runs a command or show handler; any error that escapes it is shown in the
// standard error box and goes no further, so nothing escapes a Qt slot.
template <class Handler> void RunGuarded(Prompts& prompts, Handler&& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        prompts.ErrorBox(e.what());
    } catch (...) {
        prompts.ErrorBox("Unexpected error");
    }
}
