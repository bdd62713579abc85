#include "records/attemptfacts.h"

#include "device/deviceidentity.h"
#include "device/reasoncode.h"

namespace Records {
namespace {
const QString kSuccess = QStringLiteral("success");
const QString kFailed = QStringLiteral("failed");
const QString kVersionMismatch = QStringLiteral("version-mismatch");
const QString kInterrupted = QStringLiteral("interrupted");
} // namespace

void setPort(UpdateRecord *record, const QString &port, const PortListing &listing)
{
    const auto known = [](const QString &text) { return text.isEmpty() ? QString() : text; };
    record->port = port;
    record->usbSerial = known(listing.serialNumber);
    record->vidPid = known(vidPidText(listing));
}

void setImage(UpdateRecord *record, const QString &fileName, qint64 size, const QString &sha256,
              const QString &checkReason)
{
    record->imageName = fileName;
    record->imageSize = size;
    record->imageSha256 = sha256;
    record->imageCheck = checkReason.isEmpty() ? QStringLiteral("plausible") : checkReason;
}

void setIdentification(UpdateRecord *record, const QString &identification)
{
    // Asked, so never null: an empty reply is recorded as one.
    record->identBefore = identification.isNull() ? QStringLiteral("") : identification;
    // Fields the reply does not have are unknown: null in the record.
    const auto known = [](const QString &text) { return text.isEmpty() ? QString() : text; };
    const DeviceIdentity identity = DeviceIdentity::fromReply(identification);
    record->maker = known(identity.maker);
    record->model = known(identity.model);
    record->unitSerial = known(identity.serialNumber);
    record->versionBefore = identity.hasFields() ? known(identity.version) : QString();
}

void setWorkerResult(UpdateRecord *record, const QString &failureReason)
{
    record->reasonCode = ReasonCode::forWorkerReason(failureReason);
    if (record->reasonCode.isEmpty()) {
        record->outcome = kSuccess;
        record->reason = QString();
        return;
    }
    record->outcome = record->reasonCode == ReasonCode::kUserCancelled ? kInterrupted : kFailed;
    record->reason = failureReason;
}

void setReadBack(UpdateRecord *record, const ReadBack::Outcome &outcome, const QString &reason)
{
    // Asked: an application that never answered has an empty reply, not an unknown one.
    record->identAfter = outcome.after.reply.isNull() ? QStringLiteral("") : outcome.after.reply;
    // Another unit's version is not this unit's.
    const bool another = outcome.verdict == ReadBack::Verdict::AnotherUnit;
    record->versionAfter = another ? QString() : outcome.after.version;
    record->versionConfirmed = outcome.verdict == ReadBack::Verdict::NewVersion;
    if (record->versionConfirmed) {
        record->outcome = kSuccess;
        record->reasonCode = QString();
        record->reason = QString();
        return;
    }
    record->outcome = kVersionMismatch;
    record->reason = reason;
    switch (outcome.verdict) {
    case ReadBack::Verdict::AnotherUnit:
        record->reasonCode = ReasonCode::kUnitReplaced;
        break;
    case ReadBack::Verdict::Silence:
        record->reasonCode = ReasonCode::kNoReadBack;
        break;
    default:
        record->reasonCode = ReasonCode::kVersionMismatch;
        break;
    }
}

void setInterrupted(UpdateRecord *record, const QString &reason)
{
    record->outcome = kInterrupted;
    record->reasonCode = ReasonCode::kUserCancelled;
    record->reason = reason;
    record->versionConfirmed = false;
}

void setEnd(UpdateRecord *record, qint64 durationMs, qint64 bytesSent, double rateKBps)
{
    record->durationMs = durationMs;
    record->endedUtc = record->startedUtc.addMSecs(durationMs);
    record->bytesSent = bytesSent;
    record->rateKBps = rateKBps;
}

} // namespace Records
