#pragma once

#include "records/updaterecord.h"

#include <QCryptographicHash>
#include <QUuid>

// Made-up update records with every field filled, for filling a store in tests, benchmarks and
// demonstrations: unit k of units gets attempt n; every tenth attempt fails.
inline UpdateRecord sampleRecord(int n, int units = 1000)
{
    static const QDateTime base(QDate(2026, 1, 5), QTime(8, 0), Qt::UTC);
    const QString serial = QStringLiteral("SN%1").arg(n % units, 5, 10, QLatin1Char('0'));
    const bool failed = n % 10 == 9;
    UpdateRecord r;
    r.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    r.startedUtc = base.addSecs(qint64(n) * 90);
    r.endedUtc = r.startedUtc.addMSecs(failed ? 4200 : 21300);
    r.station = QStringLiteral("station-%1").arg(n % 3 + 1);
    r.program = QStringLiteral("fwflash");
    r.programVersion = QStringLiteral("1.1.0");
    r.osUser = QStringLiteral("line");
    r.port = QStringLiteral("/dev/ttyUSB%1").arg(n % 8);
    r.usbSerial = QStringLiteral("A10K%1").arg(n % 8);
    r.vidPid = QStringLiteral("0403:6001");
    r.identBefore = QStringLiteral("Orvane,TM-1,%1,1.0.38\\r\\n").arg(serial);
    r.maker = QStringLiteral("Orvane");
    r.model = QStringLiteral("TM-1");
    r.unitSerial = serial;
    r.versionBefore = QStringLiteral("1.0.38");
    r.imageName = QStringLiteral("app-1.0.39.bin");
    r.imageSize = 236544;
    r.imageSha256 = QString::fromLatin1(
        QCryptographicHash::hash(r.imageName.toUtf8(), QCryptographicHash::Sha256).toHex());
    r.imageCheck = QStringLiteral("plausible");
    r.startCommand = QStringLiteral("*FWUPD");
    r.outcome = failed ? QStringLiteral("failed") : QStringLiteral("success");
    r.reasonCode = failed ? QStringLiteral("device-timeout") : QString();
    r.reason = failed ? QStringLiteral("设备响应超时") : QString();
    r.bytesSent = failed ? 40960 : 236544;
    r.durationMs = r.startedUtc.msecsTo(r.endedUtc);
    r.rateKBps = failed ? 9.5 : 10.8;
    r.expectedVersion = QStringLiteral("1.0.39");
    r.identAfter = failed ? QString() : QStringLiteral("Orvane,TM-1,%1,1.0.39").arg(serial);
    r.versionAfter = failed ? QString() : QStringLiteral("1.0.39");
    r.versionConfirmed = !failed;
    return r;
}
