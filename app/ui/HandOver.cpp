#include "app/ui/HandOver.h"

#include "app/core/ListGuard.h"
#include "app/ui/BringToFront.h"
#include "app/ui/MainUnit.h"
#include "ui/core/Prompts.h"

void OpenNewDownloadLater(TMainForm& form, Prompts& prompts, const std::string& url) {
    QMetaObject::invokeMethod(
        &form,
        [&form, &prompts, url] {
            RunGuarded(prompts, [&form, &url] { form.OpenNewDownload(url); });
        },
        Qt::QueuedConnection);
}

void ServeHandOver(ListGuard& guard, TMainForm& form, Prompts& prompts) {
    guard.SetRaiseHandler([&form, &prompts](const std::string& url) {
        BringToFront(form);
        if (!url.empty()) OpenNewDownloadLater(form, prompts, url);
    });
}
