#include "mail/Keyring.h"

#include "platform/AnsiText.h"
#include "platform/MessageLoop.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QFile>
#include <qt6keychain/keychain.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>

namespace pb {
namespace {

using Place = TSettings::TSecretPlace;

// All entries of one working folder share the name the keyring shows for them; the key tells
// the secrets apart.
QString serviceName(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::absolute(path, ec).parent_path();
    return QStringLiteral("Postbridge ") + QFile::decodeName(folder.c_str());
}

QString entryKey(const TSecretField& field, const TSettings& s) {
    return QString::fromUtf8(field.Name) + QLatin1Char(' ') + toUnicode(s.*field.Server);
}

struct TJobEnd {
    bool done = false;
    QKeychain::Error error = QKeychain::NoError;
    QString text;   // the secret read, or what went wrong
};

// Starts the job and waits for its end, at most limitMs. The job deletes itself when it ends,
// after the limit too: the keyring's answer may still come, and finds the job there.
std::shared_ptr<const TJobEnd> finish(QKeychain::Job* job, int limitMs) {
    auto end = std::make_shared<TJobEnd>();
    job->setAutoDelete(true);
    // Without a keyring QtKeychain could keep the secret in a clear-text file of its own: a
    // second copy beside pbridge.ini that nobody would know of.
    job->setInsecureFallback(false);
    QObject::connect(job, &QKeychain::Job::finished, job, [end](QKeychain::Job* j) {
        end->done = true;
        end->error = j->error();
        auto* read = qobject_cast<QKeychain::ReadPasswordJob*>(j);
        end->text = read && !j->error() ? read->textData() : j->errorString();
    });
    job->start();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    pumpUntil([&] { return end->done || std::chrono::steady_clock::now() >= deadline; });
    return end;
}

[[noreturn]] void fail(const TSecretField& field, const char* what, const TJobEnd& end, int limitMs) {
    if (!end.done)
        throw EKeyringError(ansi("Der Schlüsselbund hat nicht innerhalb von ") + std::to_string(limitMs / 1000) +
                                ansi(" s geantwortet (") + ansi(field.Name) + ", " + ansi(what) + ").",
                            TKeyringState::Unreachable);
    const bool denied = end.error == QKeychain::AccessDenied || end.error == QKeychain::AccessDeniedByUser;
    throw EKeyringError(ansi("Der Schlüsselbund hat das ") + ansi(field.Name) + " " + ansi(what) + ": " +
                            fromUnicode(end.text),
                        denied ? TKeyringState::Locked : TKeyringState::Unreachable);
}

void writeEntry(const QString& service, const QString& key, const TSecretField& field, const std::string& secret,
                int limitMs) {
    auto* job = new QKeychain::WritePasswordJob(service);
    job->setKey(key);
    job->setTextData(toUnicode(secret));
    const auto end = finish(job, limitMs);
    if (!end->done || end->error != QKeychain::NoError)
        fail(field, "nicht angenommen", *end, limitMs);
}

// A missing entry counts as removed.
void removeEntry(const QString& service, const QString& key, const TSecretField& field, int limitMs) {
    auto* job = new QKeychain::DeletePasswordJob(service);
    job->setKey(key);
    const auto end = finish(job, limitMs);
    if (!end->done || (end->error != QKeychain::NoError && end->error != QKeychain::EntryNotFound))
        fail(field, "nicht entfernt", *end, limitMs);
}

// The keyring must be there; and for a run that must not open a prompt, open as well. The
// question comes first, so that the user reads why in the program's words.
void requireKeyring(bool mayPrompt, int limitMs) {
    switch (ProbeKeyring(std::min(limitMs, 5000))) {
    case TKeyringState::Unreachable:
        throw EKeyringError(ansi("Die Passwörter gehören in den Schlüsselbund, aber kein Schlüsselbund "
                                 "(Secret Service) ist erreichbar."),
                            TKeyringState::Unreachable);
    case TKeyringState::Locked:
        if (!mayPrompt)
            throw EKeyringError(ansi("Die Passwörter gehören in den Schlüsselbund, und der ist gesperrt."),
                                TKeyringState::Locked);
        break;
    case TKeyringState::Open:
        break;
    }
}

} // namespace

TKeyringState ProbeKeyring(int limitMs) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return TKeyringState::Unreachable;
    QDBusMessage get = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.secrets"), QStringLiteral("/org/freedesktop/secrets/aliases/default"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << QStringLiteral("org.freedesktop.Secret.Collection") << QStringLiteral("Locked");
    // Blocking, without dispatching: the question opens nothing, and nothing may run meanwhile.
    const QDBusMessage reply = bus.call(get, QDBus::Block, limitMs);
    if (reply.type() == QDBusMessage::ReplyMessage)
        return reply.arguments().value(0).value<QDBusVariant>().variant().toBool() ? TKeyringState::Locked
                                                                                 : TKeyringState::Open;
    // A service that answers, but has no default keyring yet, needs the desktop to make one.
    const QString error = reply.errorName();
    const bool absent = error == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
                        error == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner") ||
                        error == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
                        error == QLatin1String("org.freedesktop.DBus.Error.Timeout") ||
                        error == QLatin1String("org.freedesktop.DBus.Error.Disconnected") ||
                        error == QLatin1String("org.freedesktop.DBus.Error.NoServer") ||
                        error.startsWith(QLatin1String("org.freedesktop.DBus.Error.Spawn"));
    return absent ? TKeyringState::Unreachable : TKeyringState::Locked;
}

void LoadSecrets(TSettings& settings, int limitMs, bool mayPrompt, const std::string& path) {
    if (settings.SecretPlace != Place::Keyring)
        return;
    requireKeyring(mayPrompt, limitMs);
    const QString service = serviceName(path);
    for (const TSecretField& field : kSecretFields) {
        std::string& value = field(settings);
        if (!value.empty())
            continue;   // still in the file: it moves at the next save
        auto* job = new QKeychain::ReadPasswordJob(service);
        job->setKey(entryKey(field, settings));
        const auto end = finish(job, limitMs);
        if (end->done && end->error == QKeychain::NoError)
            value = fromUnicode(end->text);
        else if (!end->done || end->error != QKeychain::EntryNotFound)
            fail(field, "nicht herausgegeben", *end, limitMs);
    }
}

void SaveSettings(const TSettings& now, const TSettings& before, int limitMs,
                  const std::function<void(const std::string&)>& log, const std::string& path) {
    const QString service = serviceName(path);
    const bool wasInKeyring = before.SecretPlace == Place::Keyring;
    // Only entries whose secret is known are removed: a secret that could not be read from the
    // keyring shows as empty, and must not lose its entry for that.
    auto known = [&](const TSecretField& field) { return !field(before).empty(); };

    if (now.SecretPlace != Place::Keyring) {
        WriteConfig(now, path);
        // Back in the file: the keyring's copies go where that needs no prompt.
        if (wasInKeyring && ProbeKeyring() == TKeyringState::Open) {
            for (const TSecretField& field : kSecretFields) {
                try {
                    if (known(field))
                        removeEntry(service, entryKey(field, before), field, limitMs);
                } catch (const EKeyringError& e) {
                    log(ansi("CONF ") + e.Message());
                }
            }
        }
        return;
    }

    requireKeyring(true, limitMs);
    for (const TSecretField& field : kSecretFields) {
        const std::string& secret = field(now);
        const QString key = entryKey(field, now);
        if (!secret.empty())
            writeEntry(service, key, field, secret, limitMs);
        else if (wasInKeyring && known(field))
            removeEntry(service, key, field, limitMs);
        const QString oldKey = entryKey(field, before);
        if (wasInKeyring && known(field) && oldKey != key)
            removeEntry(service, oldKey, field, limitMs);
    }
    TSettings file = now;
    for (const TSecretField& field : kSecretFields)
        field(file).clear();
    WriteConfig(file, path);
    for (const TSecretField& field : kSecretFields)
        if (!wasInKeyring && known(field) && !field(now).empty())
            log(ansi("CONF ") + ansi(field.Name) + ansi(" aus pbridge.ini in den Schlüsselbund übernommen"));
}

} // namespace pb
