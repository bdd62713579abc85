#include "cli/flashoptions.h"

#include "update/firmwarerules.h"

#include <QCommandLineParser>
#include <QRegularExpression>

namespace {
// 232 KiB is the first value above the bootloader's limit; it means that limit.
constexpr int kMaxKbOption = 232;
} // namespace

std::optional<int> maxKbLimit(const QString &text)
{
    bool ok = false;
    const int kb = text.trimmed().toInt(&ok);
    if (!ok || kb < 1 || kb > kMaxKbOption)
        return std::nullopt;
    return qMin(kb * 1024, FirmwareRules::kBootloaderLimitBytes);
}

bool isVersionText(const QString &text)
{
    static const QRegularExpression version(
        QStringLiteral("^\\d{1,9}\\.\\d{1,9}\\.\\d{1,9}(\\.\\d{1,9})?$"));
    return version.match(text).hasMatch();
}

FlashCommand parseFlashArguments(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Updates the firmware of devices on serial lines, as the window does: identification, "
        "start command, bootloader menu, YMODEM transfer, completion report. The same IMAGE goes "
        "to every port given, all at once.\n\n"
        "Exit status: 0 every device updated, 1 any device failed, 2 usage error or an image "
        "that fails the checks (no port is opened then), 130 interrupted."));
    const QCommandLineOption port(
        {QStringLiteral("p"), QStringLiteral("port")},
        QStringLiteral("Update the device on PORT: a name from --list-ports (ttyUSB0) or a device "
                       "path (/dev/ttyUSB0, a link, a pseudo-terminal). Give it once per port."),
        QStringLiteral("PORT"));
    const QCommandLineOption listPorts(
        QStringLiteral("list-ports"),
        QStringLiteral("List the serial ports with description, manufacturer, serial number and "
                       "VID:PID, and exit."));
    const QCommandLineOption maxKb(
        QStringLiteral("max-kb"),
        QStringLiteral("Refuse images larger than N KiB (1 to 232; the bootloader takes at most "
                       "237440 bytes). Default: \"maxFirmwareKB\" of the window's settings, "
                       "else 231."),
        QStringLiteral("N"));
    const QCommandLineOption json(
        QStringLiteral("json"),
        QStringLiteral("Append one JSON object per device and attempt to FILE, one per line."),
        QStringLiteral("FILE"));
    const QCommandLineOption expectVersion(
        QStringLiteral("expect-version"),
        QStringLiteral("After the update, wait for the application to come back (opening the "
                       "port again if it re-enumerated), ask for its identification and fail "
                       "the unit (version-mismatch) unless the reply carries version X.Y.Z."),
        QStringLiteral("X.Y.Z"));
    const QCommandLineOption wait(
        QStringLiteral("wait"),
        QStringLiteral("Production loop: for each port wait for a device, update it, record it, "
                       "wait until it is gone (the port disappears, or its identification "
                       "changes), and wait for the next. Ctrl+C ends it with a summary."));
    const QCommandLineOption nextOnEnter(
        QStringLiteral("next-on-enter"),
        QStringLiteral("With --wait: Enter on standard input also says the device was replaced "
                       "(for a port that stays when the board changes)."));
    const QCommandLineOption quiet(QStringLiteral("quiet"),
                                   QStringLiteral("Print only the results."));
    const QCommandLineOption force(
        QStringLiteral("force"),
        QStringLiteral("Flash the image even when its vector table does not look like an "
                       "application linked at 0x08004000 (a whole-flash image, a HEX or text "
                       "file). The check's verdict still goes into the records."));
    parser.addOptions(
        {port, listPorts, maxKb, json, expectVersion, wait, nextOnEnter, quiet, force});
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("IMAGE"),
                                 QStringLiteral("The firmware image, a .bin file."));

    FlashCommand command;
    auto refuse = [&command](const QString &error) {
        command.action = FlashCommand::Action::UsageError;
        command.error = error;
        return command;
    };
    if (!parser.parse(arguments))
        return refuse(parser.errorText());
    if (parser.isSet(help)) {
        command.helpText = parser.helpText();
        command.action = FlashCommand::Action::Help;
        return command;
    }
    if (parser.isSet(version)) {
        command.action = FlashCommand::Action::Version;
        return command;
    }
    if (parser.isSet(listPorts)) {
        command.action = FlashCommand::Action::ListPorts;
        return command;
    }

    FlashOptions &o = command.options;
    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return refuse(QStringLiteral("no image given"));
    if (positional.size() > 1)
        return refuse(QStringLiteral("one image only, got: %1").arg(positional.join(' ')));
    o.imagePath = positional.first();
    o.ports = parser.values(port);
    if (o.ports.isEmpty())
        return refuse(QStringLiteral("no port given (-p PORT; --list-ports shows them)"));
    for (const QString &name : std::as_const(o.ports)) {
        if (name.trimmed().isEmpty())
            return refuse(QStringLiteral("an empty port name"));
        if (o.ports.count(name) > 1)
            return refuse(QStringLiteral("port %1 given twice").arg(name));
    }
    if (parser.isSet(maxKb)) {
        o.limit = maxKbLimit(parser.value(maxKb));
        if (!o.limit)
            return refuse(QStringLiteral("--max-kb wants a whole number of KiB from 1 to %1")
                              .arg(kMaxKbOption));
    }
    if (parser.isSet(json)) {
        o.jsonPath = parser.value(json);
        if (o.jsonPath.isEmpty())
            return refuse(QStringLiteral("--json wants a file name"));
    }
    if (parser.isSet(expectVersion)) {
        o.expectVersion = parser.value(expectVersion).trimmed();
        if (!isVersionText(o.expectVersion))
            return refuse(QStringLiteral("--expect-version wants a version such as 1.0.39"));
    }
    o.loop = parser.isSet(wait);
    o.nextOnEnter = parser.isSet(nextOnEnter);
    if (o.nextOnEnter && !o.loop)
        return refuse(QStringLiteral("--next-on-enter works only with --wait"));
    o.quiet = parser.isSet(quiet);
    o.force = parser.isSet(force);
    command.action = FlashCommand::Action::Flash;
    return command;
}
