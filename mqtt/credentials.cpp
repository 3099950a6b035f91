// SPDX-License-Identifier: MIT
#include "credentials.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

Outcome ReadCredentials(const QString& path, MqttCredentials& credentials)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat status {};
    if (::stat(name.constData(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return UsageFailure(QString("--mqtt-credentials: cannot read " + path + ": " +
                                    (S_ISDIR(status.st_mode) ? QString("a directory")
                                                             : QString(std::strerror(errno))) +
                                    '.')
                                .toStdString());
    }
    if (status.st_mode & (S_IROTH | S_IWOTH)) {
        return UsageFailure(
            QString("--mqtt-credentials: " + path +
                    " is open to every user of this machine; make it private first: chmod o-rwx " +
                    path + '.')
                .toStdString());
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return UsageFailure(
            QString("--mqtt-credentials: cannot read " + path + ": " + file.errorString() + '.')
                .toStdString());
    }
    // A password file is a few bytes; more is not one.
    const QList<QByteArray> lines = file.read(4096).split('\n');
    credentials.user = lines.value(0);
    credentials.password = lines.value(1);
    if (credentials.user.endsWith('\r'))
        credentials.user.chop(1);
    if (credentials.password.endsWith('\r'))
        credentials.password.chop(1);
    if (credentials.user.isEmpty()) {
        return UsageFailure(
            QString(
                "--mqtt-credentials: " + path +
                " names no user; write the user on its first line and the password on its second.")
                .toStdString());
    }
    return {};
}
