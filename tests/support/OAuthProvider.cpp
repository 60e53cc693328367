#include "support/OAuthProvider.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <filesystem>

namespace pb::test {
namespace {

const std::string kDir = std::string(PB_SOURCE_DIR) + "/tests/support/oauth";

// Runs a program to its end (at most `ms`); its output for a failure message.
bool runToEnd(const QString& program, const QStringList& args, int ms, std::string& output) {
    QProcess p;
    p.setWorkingDirectory(QString::fromStdString(kDir));
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    const bool done = p.waitForFinished(ms);
    output = p.readAll().toStdString();
    if (!done)
        p.kill(), p.waitForFinished(2000);
    return done && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// The provider's packages, installed from the lockfile the first time (scripts/setup does it
// for CI); flock keeps test programs running side by side from installing twice.
std::string installPackages() {
    if (std::filesystem::exists(kDir + "/node_modules/oauth2-mock-server/package.json"))
        return {};
    std::string output;
    if (!runToEnd("flock", {QString::fromStdString(kDir + "/package.json"), "sh", "-c",
                            "[ -e node_modules/oauth2-mock-server/package.json ] || "
                            "npm ci --prefer-offline --no-audit --no-fund"},
                  300000, output))
        return "npm ci in " + kDir + " failed: " + output;
    return {};
}

} // namespace

OAuthProvider::OAuthProvider() = default;
OAuthProvider::~OAuthProvider() { stop(); }

std::string OAuthProvider::browser() { return kDir + "/browser"; }

std::string OAuthProvider::start(int lifetime, const std::string& clientSecret) {
    if (process_)
        return {};
    std::string output;
    if (!runToEnd("node", {"--version"}, 10000, output))
        return "Node.js is not installed (scripts/packages-test.txt: nodejs)";
    if (std::string why = installPackages(); !why.empty())
        return why;
    process_ = std::make_unique<QProcess>();
    process_->setWorkingDirectory(QString::fromStdString(kDir));
    process_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QStringList args{"provider.js", "--lifetime", QString::number(lifetime)};
    if (!clientSecret.empty())
        args << "--client-secret" << QString::fromStdString(clientSecret);
    process_->start("node", args);
    while (process_->waitForReadyRead(20000)) {
        if (!process_->canReadLine())
            continue;
        const std::string line = process_->readLine().trimmed().toStdString();
        if (line.starts_with("PORT "))
            port_ = std::stoi(line.substr(5));
        break;
    }
    if (port_ <= 0) {
        stop();
        throw std::runtime_error("OAuthProvider: provider.js did not start");
    }
    return {};
}

void OAuthProvider::stop() noexcept {
    if (!process_)
        return;
    process_->closeWriteChannel();   // it ends when its input does
    if (!process_->waitForFinished(5000)) {
        process_->kill();
        process_->waitForFinished(2000);
    }
    process_.reset();
    port_ = 0;
}

std::string OAuthProvider::command(const std::string& line) {
    if (!process_)
        throw std::runtime_error("OAuthProvider: not started");
    process_->write(QByteArray::fromStdString(line + "\n"));
    process_->waitForBytesWritten(5000);
    while (!process_->canReadLine())
        if (!process_->waitForReadyRead(10000))
            throw std::runtime_error("OAuthProvider: no answer to " + line.substr(0, line.find(' ')));
    return process_->readLine().trimmed().toStdString();
}

OAuthProvider::Stats OAuthProvider::stats() {
    const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(command("stats"))).object();
    return {o["authorization_code"].toInt(), o["refresh_token"].toInt(), o["introspect"].toInt(),
            o["refused"].toInt()};
}

} // namespace pb::test

namespace pb::test {

std::string OAuthServers::start(int lifetime) {
    if (std::string why = provider.start(lifetime); !why.empty())
        return why;
    pop3.start(true, provider.url());
    postfix.OAuthUrl = provider.url();
    return postfix.start();
}

std::vector<std::string> OAuthProvider::issued() {
    std::vector<std::string> out;
    for (const QString& t : QString::fromStdString(command("issued")).split(' ', Qt::SkipEmptyParts))
        out.push_back(t.toStdString());
    return out;
}

} // namespace pb::test
