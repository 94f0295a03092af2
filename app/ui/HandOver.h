#pragma once

#include <string>

class ListGuard;
class Prompts;
class TMainForm;

// Opens New download with `url` once the events in hand are done, so that
// whatever asked (a later start waiting for its answer, the start-up) is
// not held by the dialog.
void OpenNewDownloadLater(TMainForm& form, Prompts& prompts, const std::string& url);

// A later start on the window's list brings the window to the front, and a
// URL it was started with opens in New download.
void ServeHandOver(ListGuard& guard, TMainForm& form, Prompts& prompts);
