#include "mail/TokenLogin.h"

#include "mail/Config.h"
#include "mail/Keyring.h"
#include "platform/AnsiText.h"
#include "platform/MessageLoop.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>
#include <QUrlQuery>

#include <map>
#include <memory>

namespace pb {
namespace {

int tokenRequests = 0;

// What this process holds for one refresh token as the settings gave it.
struct TKept {
    std::string RefreshToken;   // the current one (the provider may have replaced it)
    std::string AccessToken;
    qint64 ExpiresAt = 0;       // seconds since the epoch
    qint64 Lifetime = 0;
};
std::map<std::string, TKept>& kept() {
    static std::map<std::string, TKept> tokens;
    return tokens;
}
std::string keyOf(const TTokenLogin& login) {
    return OAuthEndpoints(login).TokenUrl + '\n' + login.ClientId + '\n' + login.RefreshToken;
}

// Provider text is untrusted: printable ASCII only, and no more than a line shows.
std::string printable(const QString& text) {
    std::string out;
    for (QChar c : text) {
        if (out.size() >= 200)
            break;
        if (c.unicode() >= 0x20 && c.unicode() < 0x7F)
            out += static_cast<char>(c.unicode());
    }
    return out;
}

std::string base64Url(const QByteArray& bytes) {
    return bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals).toStdString();
}

std::string randomText(int bytes) {
    QByteArray raw(bytes, '\0');
    for (char& c : raw)
        c = static_cast<char>(QRandomGenerator::system()->bounded(256));
    return base64Url(raw);
}

// A token endpoint must protect what crosses it: https, or a provider on this machine.
QUrl endpointUrl(const std::string& text, const std::string& what) {
    const QUrl url(QString::fromStdString(text));
    const bool loopback = url.scheme() == "http" && (url.host() == "127.0.0.1" || url.host() == "localhost" || url.host() == "::1");
    if (!url.isValid() || url.host().isEmpty() || (url.scheme() != "https" && !loopback))
        throw ETokenFailure(ansi("Die ") + what + ansi(" des Anbieters ist keine https-Adresse: \"") +
                            printable(QString::fromStdString(text)) + "\".");
    return url;
}

QByteArray formBody(const std::vector<std::pair<const char*, std::string>>& fields) {
    QByteArray body;
    for (const auto& [name, value] : fields) {
        if (value.empty())
            continue;
        if (!body.isEmpty())
            body += '&';
        body += QByteArray(name) + '=' + QUrl::toPercentEncoding(QString::fromStdString(value));
    }
    return body;
}

// Who signed in, from the ID token's payload (the provider's own word; not checked further,
// it only names the account in the dialog).
std::string signedInAs(const QJsonObject& answer) {
    const QList<QByteArray> parts = answer.value("id_token").toString().toLatin1().split('.');
    if (parts.size() != 3)
        return {};
    const QJsonObject claims =
        QJsonDocument::fromJson(QByteArray::fromBase64(parts[1], QByteArray::Base64UrlEncoding)).object();
    for (const char* claim : {"email", "preferred_username", "upn", "sub"})
        if (const QString v = claims.value(claim).toString(); !v.isEmpty())
            return printable(v);
    return {};
}

// One POST to the token endpoint; its JSON answer, or ESignInNeeded for a refused grant and
// ETokenFailure for anything else.
QJsonObject tokenRequest(const TTokenLogin& login, const std::vector<std::pair<const char*, std::string>>& fields) {
    const QUrl url = endpointUrl(OAuthEndpoints(login).TokenUrl, "Token-Adresse");
    std::vector<std::pair<const char*, std::string>> all = fields;
    all.emplace_back("client_id", login.ClientId);
    all.emplace_back("client_secret", login.ClientSecret);
    QNetworkAccessManager network;
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
    request.setRawHeader("Accept", "application/json");
    request.setTransferTimeout(TokenTimeLimits.RequestMs);
    ++tokenRequests;
    std::unique_ptr<QNetworkReply> reply(network.post(request, formBody(all)));
    pumpUntil([&] { return reply->isFinished(); });
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QJsonObject answer = QJsonDocument::fromJson(reply->readAll()).object();
    const std::string provider = printable(url.host());
    if (status == 200 && answer.value("access_token").isString())
        return answer;
    const std::string error = printable(answer.value("error").toString());
    if (error == "invalid_grant")
        throw ESignInNeeded(ansi("Der Anbieter ") + provider + ansi(" nimmt die Anmeldung nicht mehr an (") + error +
                            (answer.contains("error_description")
                                 ? ": " + printable(answer.value("error_description").toString()) : std::string()) +
                            ").");
    if (status == 0)
        throw ETokenFailure(ansi("Der Anbieter ") + provider + ansi(" ist nicht erreichbar: ") +
                            printable(reply->errorString()) + ".");
    throw ETokenFailure(ansi("Der Anbieter ") + provider + ansi(" hat keinen Zugangsschlüssel gegeben (HTTP ") +
                        std::to_string(status) + (error.empty() ? "" : ", " + error) + ").");
}

void keep(TKept& entry, const QJsonObject& answer) {
    entry.AccessToken = answer.value("access_token").toString().toStdString();
    entry.Lifetime = answer.value("expires_in").toInteger(3600);
    entry.ExpiresAt = QDateTime::currentSecsSinceEpoch() + entry.Lifetime;
}

// A kept access token still good for a while: a quarter of its life, at most a minute, so that a
// run that logs in to both servers in a row gets both logins out of one token.
bool fresh(const TKept& entry) {
    const qint64 margin = std::min<qint64>(60, entry.Lifetime / 4);
    return !entry.AccessToken.empty() && QDateTime::currentSecsSinceEpoch() + margin < entry.ExpiresAt;
}

std::string providerToken(const TTokenLogin& login, bool renew, const std::function<void(const std::string&)>& log) {
    TKept& entry = kept()[keyOf(login)];
    if (entry.RefreshToken.empty())
        entry.RefreshToken = login.RefreshToken;
    if (!renew && fresh(entry))
        return entry.AccessToken;
    if (entry.RefreshToken.empty())
        throw ESignInNeeded("Es gibt noch keine Anmeldung beim Anbieter.");
    const QJsonObject answer = tokenRequest(
        login, {{"grant_type", "refresh_token"}, {"refresh_token", entry.RefreshToken}, {"scope", OAuthEndpoints(login).Scope}});
    keep(entry, answer);
    const std::string replacement = answer.value("refresh_token").toString().toStdString();
    if (!replacement.empty() && replacement != entry.RefreshToken) {
        const std::string old = entry.RefreshToken;
        entry.RefreshToken = replacement;
        try {
            SaveRefreshToken(old, replacement, kConfigFileName);
        } catch (const std::exception& e) {
            if (log)
                log("Die erneuerte Anmeldung konnte nicht gespeichert werden: " + std::string(e.what()));
        }
    }
    return entry.AccessToken;
}

std::string commandToken(const std::string& command, const std::function<void(const std::string&)>& log) {
    if (command.empty())
        throw ETokenFailure(ansi("Für die Anmeldung mit \"Befehl\" ist kein Befehl eingetragen."));
    QProcess process;
    process.setStandardInputFile(QProcess::nullDevice());
    process.start("/bin/sh", {"-c", QString::fromLocal8Bit(command.c_str())});
    QElapsedTimer clock;
    clock.start();
    pumpUntil([&] { return process.state() == QProcess::NotRunning || clock.elapsed() > TokenTimeLimits.CommandMs; });
    const bool ended = process.state() == QProcess::NotRunning;
    if (!ended) {
        process.kill();
        process.waitForFinished(2000);
    }
    // What the command says about itself goes to the log; what it prints on its output is the
    // token and goes nowhere else.
    for (const QByteArray& line : process.readAllStandardError().split('\n'))
        if (!line.trimmed().isEmpty() && log)
            log("Befehl meldet: " + printable(QString::fromLocal8Bit(line)));
    const std::string token = process.readAllStandardOutput().trimmed().toStdString();
    if (!ended)
        throw ETokenFailure(ansi("Der Befehl für die Anmeldung hat nach ") +
                            std::to_string(TokenTimeLimits.CommandMs / 1000) + ansi(" s noch keinen Zugangsschlüssel ausgegeben und wurde beendet."));
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        throw ETokenFailure(ansi("Der Befehl für die Anmeldung ist gescheitert (Status ") +
                            std::to_string(process.exitCode()) + ansi("); seine Meldungen stehen im Protokoll."));
    if (token.empty())
        throw ETokenFailure(ansi("Der Befehl für die Anmeldung hat keinen Zugangsschlüssel ausgegeben."));
    return token;
}

// The browser's way back: the query of its first request line, or empty while incomplete.
struct TRedirect {
    QTcpSocket* Socket = nullptr;
    QByteArray Request;
};

void answerBrowser(QTcpSocket& socket, int status, const std::string& text) {
    const QByteArray body = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Postbridge</title></head><body><p>" +
                            QByteArray::fromStdString(toUtf8(text)) + "</p></body></html>";
    socket.write("HTTP/1.1 " + QByteArray::number(status) + (status == 200 ? " OK" : " Bad Request") +
                 "\r\nContent-Type: text/html; charset=utf-8\r\nConnection: close\r\nContent-Length: " +
                 QByteArray::number(body.size()) + "\r\n\r\n" + body);
    socket.flush();
    socket.disconnectFromHost();
}

} // namespace

TOAuthEndpoints OAuthEndpoints(const TTokenLogin& Login) {
    switch (Login.Preset) {
    case TOAuthPreset::Google:
        return {"https://accounts.google.com/o/oauth2/v2/auth", "https://oauth2.googleapis.com/token",
                "https://mail.google.com/ openid email"};
    case TOAuthPreset::Microsoft:
        return {"https://login.microsoftonline.com/common/oauth2/v2.0/authorize",
                "https://login.microsoftonline.com/common/oauth2/v2.0/token",
                "https://outlook.office.com/POP.AccessAsUser.All https://outlook.office.com/SMTP.Send "
                "offline_access openid email"};
    case TOAuthPreset::Other:
        break;
    }
    return {Login.AuthorizeUrl, Login.TokenUrl, Login.Scope};
}

const char* OAuthPresetName(TOAuthPreset Preset) {
    return Preset == TOAuthPreset::Google ? "Google" : Preset == TOAuthPreset::Microsoft ? "Microsoft" : "Anderer Anbieter";
}

int TokenRequests() { return tokenRequests; }

TBearerTokenEvent TokenEvent(const TTokenLogin& Login, std::function<void(const std::string&)> Log) {
    if (Login.Method == TLoginMethod::Command) {
        auto last = std::make_shared<std::string>();
        return [command = Login.Command, Log, last](bool renew) {
            std::string token = commandToken(command, Log);
            if (renew && token == *last)
                return std::string();   // the same token once more would be refused once more
            *last = token;
            return token;
        };
    }
    return [Login, Log](bool renew) { return providerToken(Login, renew, Log); };
}

std::string CurrentRefreshToken(const TTokenLogin& Login) {
    const auto found = kept().find(keyOf(Login));
    return found == kept().end() || found->second.RefreshToken.empty() ? Login.RefreshToken : found->second.RefreshToken;
}

void SaveRefreshToken(const std::string& Old, const std::string& New, const std::string& Path) {
    TSettings settings;
    ReadConfig(settings, Path);
    // Where the secrets are in the keyring, the refresh token is too; it must be open already.
    if (settings.SecretPlace == TSettings::TSecretPlace::Keyring)
        LoadSecrets(settings, kKeyringHeadlessMs, false, Path);
    const TSettings before = settings;
    for (TTokenLogin* login : {&settings.POP3TokenLogin, &settings.SMTPTokenLogin})
        if (login->RefreshToken == Old)
            login->RefreshToken = New;
    SaveSettings(settings, before, kKeyringHeadlessMs, [](const std::string&) {}, Path);
}

void TSignIn::Run(TTokenLogin& Login, const std::string& LoginHint) {
    const TOAuthEndpoints endpoints = OAuthEndpoints(Login);
    QUrl authorize = endpointUrl(endpoints.AuthorizeUrl, ansi("Anmelde-Adresse"));
    endpointUrl(endpoints.TokenUrl, "Token-Adresse");
    if (Login.ClientId.empty())
        throw ETokenFailure(ansi("Für die Anmeldung fehlt die Client-ID; wie Sie eine bekommen, steht unter "
                                 "\"Anleitung\" auf der Seite \"Anmeldung\"."));
    // Only this machine may answer, and only while this sign-in waits.
    QTcpServer listener;
    if (!listener.listen(QHostAddress::LocalHost, 0))
        throw ETokenFailure(ansi("Postbridge kann auf 127.0.0.1 nicht auf die Antwort des Browsers warten: ") +
                            printable(listener.errorString()) + ".");
    RedirectUri = "http://127.0.0.1:" + std::to_string(listener.serverPort()) + "/";
    const std::string verifier = randomText(32);
    const std::string state = randomText(16);
    QUrlQuery query(authorize);
    for (const auto& [name, value] : std::vector<std::pair<QString, std::string>>{
             {"response_type", "code"}, {"client_id", Login.ClientId}, {"redirect_uri", RedirectUri},
             {"scope", endpoints.Scope}, {"state", state},
             {"code_challenge", base64Url(QCryptographicHash::hash(QByteArray::fromStdString(verifier), QCryptographicHash::Sha256))},
             {"code_challenge_method", "S256"}, {"login_hint", LoginHint},
             // a refresh token with every sign-in (Google gives one only on consent)
             {"access_type", "offline"}, {"prompt", "consent"}})
        if (!value.empty())
            query.addQueryItem(name, QString::fromLatin1(QString::fromStdString(value).toUtf8().toPercentEncoding()));
    authorize.setQuery(query);
    if (!OpenUrl || !OpenUrl(authorize.toString(QUrl::FullyEncoded).toStdString()))
        throw ETokenFailure(ansi("Der Browser konnte nicht geöffnet werden. Richten Sie in Ihrer Arbeitsumgebung "
                                 "einen Standard-Browser ein."));

    // Requests are read until the one that carries the provider's answer; others (a
    // favicon) get a refusal.
    std::vector<std::unique_ptr<QTcpSocket>> visitors;
    QUrlQuery answer;
    bool answered = false;
    QElapsedTimer clock;
    clock.start();
    while (!answered) {
        pumpUntil([&] {
            if (listener.hasPendingConnections() || clock.elapsed() > TokenTimeLimits.SignInMs || (Cancelled && Cancelled()))
                return true;
            for (const auto& v : visitors)
                if (v->bytesAvailable() > 0)
                    return true;
            return false;
        });
        if (Cancelled && Cancelled())
            throw EAbortError("Sign-in canceled");
        if (clock.elapsed() > TokenTimeLimits.SignInMs)
            throw ETokenFailure(ansi("Der Browser ist nicht innerhalb von ") +
                                std::to_string(TokenTimeLimits.SignInMs / 60000) +
                                ansi(" Minuten von der Anmeldung zurückgekommen; die Anmeldung wurde abgebrochen."));
        while (QTcpSocket* s = listener.nextPendingConnection())
            visitors.emplace_back(s);
        for (auto& v : visitors) {
            QByteArray head = v->property("head").toByteArray() + v->readAll();
            v->setProperty("head", head);
            if (!head.contains("\r\n") || v->property("done").toBool())
                continue;
            v->setProperty("done", true);
            const QList<QByteArray> words = head.left(head.indexOf("\r\n")).split(' ');
            const QUrl target(QString::fromLatin1(words.size() >= 2 ? words[1] : QByteArray()));
            const QUrlQuery q(target);
            if (words[0] != "GET" || target.path() != "/" || (!q.hasQueryItem("code") && !q.hasQueryItem("error"))) {
                answerBrowser(*v, 400, "Postbridge wartet hier auf die Antwort Ihres Anbieters.");
                continue;
            }
            if (q.queryItemValue("state", QUrl::FullyDecoded).toStdString() != state) {
                answerBrowser(*v, 400, ansi("Diese Antwort gehört zu keiner Anmeldung von Postbridge."));
                throw ETokenFailure(ansi("Die Antwort im Browser gehört nicht zu dieser Anmeldung (state); die "
                                         "Anmeldung wurde abgebrochen. Versuchen Sie es noch einmal."));
            }
            if (q.hasQueryItem("error")) {
                answerBrowser(*v, 400, ansi("Die Anmeldung wurde nicht erlaubt. Sie können dieses Fenster schließen."));
                throw ETokenFailure(ansi("Der Anbieter hat die Anmeldung nicht erlaubt (") +
                                    printable(q.queryItemValue("error", QUrl::FullyDecoded)) + ").");
            }
            answerBrowser(*v, 200, ansi("Die Anmeldung ist abgeschlossen. Sie können dieses Fenster schließen und "
                                        "zu Postbridge zurückkehren."));
            answer = q;
            answered = true;
            break;
        }
    }
    listener.close();   // the port is closed before anything else is asked
    const QJsonObject tokens = tokenRequest(
        Login, {{"grant_type", "authorization_code"},
                {"code", answer.queryItemValue("code", QUrl::FullyDecoded).toStdString()},
                {"redirect_uri", RedirectUri},
                {"code_verifier", verifier}});
    const std::string refresh = tokens.value("refresh_token").toString().toStdString();
    if (refresh.empty())
        throw ETokenFailure(ansi("Der Anbieter hat keinen Schlüssel für spätere Anmeldungen gegeben (refresh_token); "
                                 "prüfen Sie den Bereich (Scope) der Anmeldung."));
    Login.RefreshToken = refresh;
    Login.SignedInAs = signedInAs(tokens);
    if (Login.SignedInAs.empty())
        Login.SignedInAs = LoginHint;
    TKept& entry = kept()[keyOf(Login)];
    entry.RefreshToken = refresh;
    keep(entry, tokens);
}

} // namespace pb
