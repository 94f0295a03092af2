#pragma once

#include "ui/core/Prompts.h"

#include <deque>
#include <string>
#include <vector>

// Answers every box at once and records what was shown.
class RecordingPrompts : public Prompts {
public:
    struct Shown {
        std::string kind; // "error", "plain" or "abort"
        std::string title;
        std::string message;
    };
    std::vector<Shown> shown;
    // Answers for OpenFileName, taken from the front; empty means cancel.
    std::deque<std::string> openFileAnswers;
    std::vector<OpenFileOptions> openFileRequests;

    void ErrorBox(const std::string& message) override {
        shown.push_back({"error", "Quilvane", message});
    }
    void PlainBox(const std::string& message) override {
        shown.push_back({"plain", "Quilvane", message});
    }
    void AbortBox(const std::string& title, const std::string& message) override {
        shown.push_back({"abort", title, message});
    }
    std::string OpenFileName(const OpenFileOptions& options) override {
        openFileRequests.push_back(options);
        if (openFileAnswers.empty()) return {};
        std::string answer = openFileAnswers.front();
        openFileAnswers.pop_front();
        return answer;
    }
    // Answers for SaveFileName, taken from the front; empty means cancel.
    std::deque<std::string> saveFileAnswers;
    std::string SaveFileName(const std::string&) override {
        if (saveFileAnswers.empty()) return {};
        std::string answer = saveFileAnswers.front();
        saveFileAnswers.pop_front();
        return answer;
    }
    std::vector<std::string> Errors() const {
        std::vector<std::string> out;
        for (const auto& s : shown)
            if (s.kind == "error") out.push_back(s.message);
        return out;
    }
};
