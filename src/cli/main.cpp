// fwflash: the command-line front end of the update, for scripts, CI rigs and production lines.
// The same worker as the window's, one per port on a thread of its own.

#include "cli/flashhistory.h"
#include "cli/flashoptions.h"
#include "cli/flashreport.h"
#include "cli/flashrun.h"
#include "production/imagefacts.h"
#include "production/portnames.h"
#include "records/recordstore.h"
#include "update/firmwarecheck.h"
#include "update/portdiscovery.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <cstdio>
#include <optional>
#include <unistd.h>

namespace {

constexpr int kUsageError = 2;

int refuse(const QString &text)
{
    std::fprintf(stderr, "fwflash: %s\n", qPrintable(text));
    return kUsageError;
}

// The checks an image must pass before any port is opened: those of the window, with its
// messages, and a vector table that an application at 0x08004000 would have (unless forced).
// On success the image's facts for the records.
std::optional<FlashReport::ImageFacts> checkImage(const QString &path, int limit, bool force,
                                                  QString *why)
{
    const auto refuseWith = [&](const QString &reason) {
        *why = QStringLiteral("%1: %2").arg(path, reason);
        return std::nullopt;
    };
    QString refusal;
    std::optional<FlashReport::ImageFacts> image = Production::readImageFacts(path, limit, &refusal);
    if (!image) {
        // A missing file or a folder is named in the window's words, which hold the path already.
        if (refusal.contains(path))
            *why = refusal;
        else
            refuseWith(refusal);
        return std::nullopt;
    }
    if (!image->checkReason.isEmpty()) {
        if (!force)
            return refuseWith(image->checkReason + QStringLiteral(" (--force flashes it anyway)"));
        std::fprintf(stderr, "fwflash: warning: %s\n", qPrintable(image->checkReason));
    }
    return image;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("fwflash"));
    QCoreApplication::setApplicationVersion(QStringLiteral(FW_VERSION));

    const FlashCommand command = parseFlashArguments(QCoreApplication::arguments());
    switch (command.action) {
    case FlashCommand::Action::UsageError:
        return refuse(command.error + QStringLiteral(" (see --help)"));
    case FlashCommand::Action::Help:
        std::fputs(qPrintable(command.helpText), stdout);
        return 0;
    case FlashCommand::Action::Version:
        std::printf("fwflash %s\n", FW_VERSION);
        return 0;
    case FlashCommand::Action::ListPorts: {
        const QList<PortListing> ports = systemSerialPorts();
        if (command.options.jsonToStdout())
            std::fputs(FlashReport::portListJson(ports).constData(), stdout);
        else if (!ports.isEmpty() || ::isatty(STDOUT_FILENO))
            std::fputs(FlashReport::portTable(ports).toLocal8Bit().constData(), stdout);
        return 0;
    }
    case FlashCommand::Action::History:
    case FlashCommand::Action::Flash:
        break;
    }
    const FlashOptions &options = command.options;

    // The store is checked before any port is opened; a password in its URL is never shown.
    const QString recordsUrl =
        options.recordsUrl.isEmpty() ? RecordStore::defaultUrl() : options.recordsUrl;
    const QString unusable = RecordStore::unusableReason(parseStoreUrl(recordsUrl));
    if (!unusable.isEmpty())
        return refuse(QStringLiteral("--records %1: %2").arg(maskPassword(recordsUrl), unusable));
    if (command.action == FlashCommand::Action::History)
        return printHistory(options, recordsUrl);

    // A link and its target are one device: two workers must not share it.
    QStringList resolved;
    for (const QString &port : options.ports)
        resolved << QFileInfo(portLocation(port)).canonicalFilePath();
    const auto [first, second] = Production::samePortTwice(resolved);
    if (first >= 0)
        return refuse(QStringLiteral("ports %1 and %2 are one device (%3), given twice "
                                     "(see --help)")
                          .arg(options.ports[first], options.ports[second], resolved[first]));

    int limit = 0;
    if (options.limit) {
        limit = *options.limit;
    } else {
        // The window's store and key, so both front ends refuse the same images.
        QSettings settings(QStringLiteral("YourCompany"), QStringLiteral("YourApp"));
        limit = FirmwareCheck::storedSizeLimit(settings);
    }
    QString why;
    const std::optional<FlashReport::ImageFacts> image =
        checkImage(options.imagePath, limit, options.force, &why);
    if (!image)
        return refuse(why);
    if (!options.jsonPath.isEmpty() && !options.jsonToStdout()) {
        QFile json(options.jsonPath);
        if (!json.open(QIODevice::WriteOnly | QIODevice::Append))
            return refuse(QStringLiteral("--json: cannot write %1: %2")
                              .arg(options.jsonPath, json.errorString()));
    }

    FlashRun run(options, *image, limit, recordsUrl);
    return run.exec();
}
