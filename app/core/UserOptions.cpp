#include "app/core/UserOptions.h"

#include "common/AppError.h"

#include <QSettings>
#include <QStandardPaths>
#include <QString>

#include <algorithm>

namespace {

int Clamped(const QSettings& settings, const char* key, int fallback, int lowest, int highest) {
    bool ok = false;
    const int value = settings.value(key).toInt(&ok);
    return ok ? std::clamp(value, lowest, highest) : fallback;
}

} // namespace

std::string UserOptionsPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation).toStdString() +
           "/Quilvane/Quilvane.conf";
}

UserOptions ReadUserOptions(const std::string& path) {
    UserOptions options;
    const QSettings settings(QString::fromStdString(path), QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) return options;
    options.connections = Clamped(settings, "Connections", UserOptions::kDefaultConnections,
                                  UserOptions::kMinConnections, UserOptions::kMaxConnections);
    options.limitKiB = Clamped(settings, "SpeedLimitKiB", 0, 0, UserOptions::kMaxLimitKiB);
    return options;
}

void WriteUserOptions(const UserOptions& options, const std::string& path) {
    QSettings settings(QString::fromStdString(path), QSettings::IniFormat);
    settings.setValue("Connections", options.connections);
    settings.setValue("SpeedLimitKiB", options.limitKiB);
    settings.sync();
    if (settings.status() != QSettings::NoError)
        throw AppError("The options could not be kept in \"" + path + "\".");
}
