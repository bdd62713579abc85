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

namespace {

// A bare --json, last or before another option, writes to standard output as "--json -" does.
QStringList withJsonValue(QStringList arguments)
{
    for (int i = 1; i < arguments.size(); ++i) {
        if (arguments[i] != QLatin1String("--json"))
            continue;
        const QString next = arguments.value(i + 1);
        if (i + 1 == arguments.size() || (next.startsWith(QLatin1Char('-')) && next.size() > 1))
            arguments.insert(i + 1, QStringLiteral("-"));
    }
    return arguments;
}

// Qt's usage line names the program by the path it was started with.
QString helpWithProgramName(QString text)
{
    const QString usage = QStringLiteral("Usage: ");
    const int options = int(text.indexOf(QLatin1String(" [options]")));
    if (text.startsWith(usage) && options > 0 && !text.left(options).contains(QLatin1Char('\n')))
        text.replace(0, options, usage + QStringLiteral("fwflash"));
    return text;
}

} // namespace

FlashCommand parseFlashArguments(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Updates the firmware of devices on serial lines, as the window does: identification, "
        "start command, bootloader menu, YMODEM transfer, completion report. The same IMAGE goes "
        "to every port given, all at once. Every attempt is recorded in the record store "
        "(--records), which --history reads.\n\n"
        "Exit status: 0 every device updated, 1 any device failed, 2 usage error or an image "
        "that fails the checks (no port is opened then), 130 interrupted by Ctrl+C, 143 by "
        "SIGTERM."));
    const QCommandLineOption port(
        {QStringLiteral("p"), QStringLiteral("port")},
        QStringLiteral("Update the device on PORT: a name from --list-ports (ttyUSB0) or a device "
                       "path (/dev/ttyUSB0, a link, a pseudo-terminal). Give it once per port."),
        QStringLiteral("PORT"));
    const QCommandLineOption listPorts(
        QStringLiteral("list-ports"),
        QStringLiteral("List the serial ports with description, manufacturer, serial number and "
                       "VID:PID (with --json as a JSON array), and exit."));
    const QCommandLineOption maxKb(
        QStringLiteral("max-kb"),
        QStringLiteral("Refuse images larger than N KiB (1 to 232; the bootloader takes at most "
                       "237440 bytes). Default: \"maxFirmwareKB\" of the window's settings, "
                       "else 231."),
        QStringLiteral("N"));
    const QCommandLineOption json(
        QStringLiteral("json"),
        QStringLiteral("Append one JSON object per device and attempt to FILE, one per line, with "
                       "the fields of the record store. - (or no FILE) writes them to standard "
                       "output and everything else to standard error."),
        QStringLiteral("FILE"));
    const QCommandLineOption expectVersion(
        QStringLiteral("expect-version"),
        QStringLiteral("After the update, wait for the application to come back (opening the "
                       "port again if it re-enumerated), ask for its identification and fail "
                       "the unit (version-mismatch) unless the same unit answers with version "
                       "X.Y.Z."),
        QStringLiteral("X.Y.Z"));
    const QCommandLineOption wait(
        QStringLiteral("wait"),
        QStringLiteral("Production loop: for each port wait for a device, ask who it is, update "
                       "it, record it, wait until it is gone (the port disappears, or its "
                       "identification changes), and wait for the next. A unit updated earlier "
                       "in the run is skipped. Ctrl+C ends it with a summary."));
    const QCommandLineOption nextOnEnter(
        QStringLiteral("next-on-enter"),
        QStringLiteral("With --wait: Enter on standard input also says the device was replaced "
                       "(for a port that stays when the board changes)."));
    const QCommandLineOption allowRepeat(
        QStringLiteral("allow-repeat"),
        QStringLiteral("With --wait: update a unit again that was updated earlier in the run "
                       "(for boards that share a serial number)."));
    const QCommandLineOption records(
        QStringLiteral("records"),
        QStringLiteral("The record store: sqlite:///PATH or postgresql://USER@HOST:PORT/DBNAME. "
                       "Default: the window's, records.sqlite in ~/.local/share/fwupdater."),
        QStringLiteral("URL"));
    const QCommandLineOption history(
        QStringLiteral("history"),
        QStringLiteral("Print the records of the store, newest first, and exit; opens no port."));
    const QCommandLineOption unit(
        QStringLiteral("unit"),
        QStringLiteral("With --history: only the unit with this serial number."),
        QStringLiteral("SERIAL"));
    const QCommandLineOption since(
        QStringLiteral("since"),
        QStringLiteral("With --history: only records from this local day on."),
        QStringLiteral("YYYY-MM-DD"));
    const QCommandLineOption format(
        QStringLiteral("format"),
        QStringLiteral("With --history: table (default), json (one record a line) or csv."),
        QStringLiteral("table|json|csv"));
    const QCommandLineOption quiet({QStringLiteral("q"), QStringLiteral("quiet")},
                                   QStringLiteral("Print only the results."));
    const QCommandLineOption verbose(
        QStringLiteral("verbose"),
        QStringLiteral("Print the protocol trace: each block sent, ACK, NAK, CAN and retry, the "
                       "identification replies (control bytes escaped)."));
    const QCommandLineOption force(
        QStringLiteral("force"),
        QStringLiteral("Flash the image even when its vector table does not look like an "
                       "application linked at 0x08004000 (a whole-flash image, a HEX or text "
                       "file). The check's verdict still goes into the records."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Print this help and exit."));
    const QCommandLineOption helpAll(
        QStringLiteral("help-all"),
        QStringLiteral("The same: fwflash takes none of Qt's generic options."));
    parser.addOptions({port, listPorts, maxKb, json, expectVersion, wait, nextOnEnter,
                       allowRepeat, records, history, unit, since, format, quiet, verbose, force,
                       help, helpAll});
    const QCommandLineOption version = parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("IMAGE"),
                                 QStringLiteral("The firmware image, a .bin file."));

    FlashCommand command;
    auto refuse = [&command](const QString &error) {
        command.action = FlashCommand::Action::UsageError;
        command.error = error;
        return command;
    };
    if (!parser.parse(withJsonValue(arguments)))
        return refuse(parser.errorText());
    if (parser.isSet(help) || parser.isSet(helpAll)) {
        command.helpText = helpWithProgramName(parser.helpText());
        command.action = FlashCommand::Action::Help;
        return command;
    }
    if (parser.isSet(version)) {
        command.action = FlashCommand::Action::Version;
        return command;
    }

    FlashOptions &o = command.options;
    if (parser.isSet(json)) {
        o.jsonPath = parser.value(json);
        if (o.jsonPath.isEmpty())
            return refuse(QStringLiteral("--json wants a file name, or - for standard output"));
    }
    o.recordsUrl = parser.value(records).trimmed();
    if (parser.isSet(records) && o.recordsUrl.isEmpty())
        return refuse(QStringLiteral("--records wants a store URL"));
    const QStringList positional = parser.positionalArguments();
    o.ports = parser.values(port);
    if (parser.isSet(listPorts)) {
        if (!o.jsonPath.isEmpty() && !o.jsonToStdout())
            return refuse(QStringLiteral("--list-ports writes its JSON to standard output only"));
        command.action = FlashCommand::Action::ListPorts;
        return command;
    }
    for (const QCommandLineOption *historyOnly : {&unit, &since, &format}) {
        if (parser.isSet(*historyOnly) && !parser.isSet(history))
            return refuse(QStringLiteral("--%1 works only with --history")
                              .arg(historyOnly->names().constFirst()));
    }
    if (parser.isSet(history)) {
        if (!positional.isEmpty() || !o.ports.isEmpty())
            return refuse(QStringLiteral("--history opens no port and takes no image"));
        o.unit = parser.value(unit).trimmed();
        if (parser.isSet(unit) && o.unit.isEmpty())
            return refuse(QStringLiteral("--unit wants a serial number"));
        if (parser.isSet(since)) {
            o.since = QDate::fromString(parser.value(since).trimmed(), QStringLiteral("yyyy-MM-dd"));
            if (!o.since.isValid())
                return refuse(QStringLiteral("--since wants a day as YYYY-MM-DD"));
        }
        const QString shape = parser.value(format).trimmed();
        if (shape == QLatin1String("json"))
            o.format = FlashOptions::Format::Json;
        else if (shape == QLatin1String("csv"))
            o.format = FlashOptions::Format::Csv;
        else if (!shape.isEmpty() && shape != QLatin1String("table"))
            return refuse(QStringLiteral("--format wants table, json or csv"));
        command.action = FlashCommand::Action::History;
        return command;
    }

    if (positional.isEmpty())
        return refuse(QStringLiteral("no image given"));
    if (positional.size() > 1)
        return refuse(QStringLiteral("one image only, got: %1").arg(positional.join(' ')));
    o.imagePath = positional.first();
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
    if (parser.isSet(expectVersion)) {
        o.expectVersion = parser.value(expectVersion).trimmed();
        if (!isVersionText(o.expectVersion))
            return refuse(QStringLiteral("--expect-version wants a version such as 1.0.39"));
    }
    o.loop = parser.isSet(wait);
    o.nextOnEnter = parser.isSet(nextOnEnter);
    if (o.nextOnEnter && !o.loop)
        return refuse(QStringLiteral("--next-on-enter works only with --wait"));
    o.allowRepeat = parser.isSet(allowRepeat);
    if (o.allowRepeat && !o.loop)
        return refuse(QStringLiteral("--allow-repeat works only with --wait"));
    o.quiet = parser.isSet(quiet);
    o.verbose = parser.isSet(verbose);
    if (o.quiet && o.verbose)
        return refuse(QStringLiteral("--quiet and --verbose exclude each other"));
    o.force = parser.isSet(force);
    command.action = FlashCommand::Action::Flash;
    return command;
}
