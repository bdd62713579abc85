#include "production/imagefacts.h"

#include "update/firmwarecheck.h"
#include "update/imagecheck.h"

#include <QFile>
#include <QFileInfo>

namespace Production {

std::optional<ImageFacts> readImageFacts(const QString &path, int limit, QString *why)
{
    const QString refusal = FirmwareCheck::refusalFor(path, limit);
    if (!refusal.isEmpty()) {
        *why = refusal;
        return std::nullopt;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("%1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    // The checks capped the size at the limit; a file that grew since is read no further.
    const QByteArray bytes = file.read(qint64(limit) + 1);
    if (bytes.isEmpty() || bytes.size() > limit) {
        *why = FirmwareCheck::refusalFor(path, limit);
        if (why->isEmpty())
            *why = QStringLiteral("%1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    ImageFacts image;
    image.path = QFileInfo(path).absoluteFilePath();
    image.fileName = QFileInfo(path).fileName();
    image.size = bytes.size();
    image.sha256 = sha256Hex(bytes);
    image.checkReason = ImageCheck::checkImage(bytes, bytes.size()).reason;
    return image;
}

} // namespace Production
