#pragma once

#include <QString>

// What a device says about itself when asked "*idn?": the whole reply and, when it has the usual
// maker,model,serial,version form, its four fields. No widgets, no I/O.
struct DeviceIdentity
{
    QString reply; // trimmed; control characters written as \xNN, so they never reach a screen
    QString maker;
    QString model;
    QString serialNumber;
    QString version;

    // Reads a reply; one that is empty or only white space gives an empty identity.
    // No widgets, no I/O.
    static DeviceIdentity fromReply(const QString &reply);

    bool isEmpty() const { return reply.isEmpty(); }
    // The reply had the four fields.
    bool hasFields() const { return !model.isEmpty(); }
    // The version field, or the whole reply when there are no fields.
    QString versionText() const { return hasFields() ? version : reply; }
    // "TM-1 · SN0001 · 当前版本 1.0.38"; the whole reply without fields; "未识别（无应答）" when
    // empty. No widgets, no I/O.
    QString summary() const;
};

// True when the reply names version (X.Y.Z) as a whole dotted number: "1.0.39" is in
// "TM-1,1.0.39" but not in "1.0.391" or "1.0.39.2". No widgets, no I/O.
bool carriesVersion(const QString &reply, const QString &version);
