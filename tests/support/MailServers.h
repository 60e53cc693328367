#pragma once
// Real mail servers for tests and benchmarks: a private Dovecot POP3 server and an SMTP sink
// (aiosmtpd) on 127.0.0.1, each instance in its own short temporary directory with its own
// ports, so test programs can run side by side. Started and stopped through
// scripts/start-servers and scripts/stop-servers (layout and details there). Needs root, as
// Dovecot's mail processes switch to the user "mail".
//
//   pb::test::MailServers s;
//   s.start();                               // throws std::runtime_error if a server fails
//   s.addMail("Subject: hi\n\nhello\n");     // POP3 mail 1, served as CRLF text
//   client: POP3 at s.host():s.pop3Port() as s.user() / s.password()
//   EXPECT_EQ(s.pop3Count(), 0u);            // after the client deleted it and sent QUIT
//   client: SMTP at s.host():s.smtpPort()
//   auto mails = s.smtpReceived();           // what the SMTP server accepted, in order
//
// The SMTP sink refuses on request, so clients meet real refusals (case-insensitive prefixes):
// a HELO/EHLO name "reject..." gets 550; MAIL FROM local part "reject..." 553, "defer..." 451;
// RCPT TO local part "reject..." 550, "defer..." 451, "datareject..." is accepted but the mail
// is refused with 554 after DATA (and not stored). Lines over 1000 bytes are refused as well
// (500 after DATA), like any server that keeps to the SMTP line limit.
//
// Every wait is bounded. The destructor stops both servers and removes the directory (set
// PB_KEEP_SERVERS=1 to keep it for a look at the logs). If the test process dies without
// running the destructor, the servers notice within a second and clean up by themselves.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pb::test {

// One mail the SMTP sink accepted.
struct SmtpMail {
    std::string helo;                  // the name the client gave with HELO (or EHLO)
    std::string mailFrom;              // MAIL FROM address without the angle brackets
    std::vector<std::string> rcptTo;   // the accepted RCPT TO addresses, in order
    std::string data;                  // the text after DATA exactly as received: CRLF line
                                       // ends, dot transparency undone, without the closing
                                       // "." line, nothing added or rewritten
};

class MailServers {
public:
    // The POP3 account to create; the password must not hold ':' or a line break.
    explicit MailServers(std::string user = "test", std::string password = "secret");
    ~MailServers();
    MailServers(const MailServers&) = delete;
    MailServers& operator=(const MailServers&) = delete;

    // Starts both servers (about 0.15 s). Throws std::runtime_error with the servers' log
    // lines when they do not come up within 20 s. Does nothing when already running.
    // With `tls`, the TLS set-up of start-servers --tls: Dovecot requires TLS (STLS on
    // pop3Port, TLS from the first byte on pop3sPort; 127.0.0.1 shows the valid certificate,
    // .2 the same one under a wrong name, .3 an expired one, .4 one from an unknown CA) and the
    // SMTP sink adds submission with STARTTLS + AUTH and SMTPS, with the POP3 account as login.
    // With `oauthUrl` (an OAuthProvider's url()), Dovecot also takes that provider's bearer
    // tokens for the account (XOAUTH2, OAUTHBEARER); start-servers --oauth.
    void start(bool tls = false, const std::string& oauthUrl = {});
    // With an OAuth url: the mechanisms Dovecot offers for tokens ("xoauth2"); empty: both.
    std::string OAuthMechanisms;
    // Joins servers that start-servers already runs under `dir` (the test run starts them once
    // for all its tests) with an account of this object's own: a new user (user() gains a
    // unique suffix) with an empty mailbox, and an SMTP sink room that records only this
    // object's mails and connections, so that tests running side by side neither see nor
    // disturb each other's mail. false, with nothing done, when no servers run under `dir`;
    // throws std::runtime_error when they run but the account cannot be set up.
    bool join(const std::string& dir);
    // Stops both servers and removes the directory; after join(), removes the account and
    // leaves the servers running. Safe to call twice; never throws.
    void stop() noexcept;
    bool running() const { return running_; }

    std::string host() const { return "127.0.0.1"; }
    int pop3Port() const { return pop3Port_; }
    int smtpPort() const { return smtpPort_; }
    int pop3sPort() const { return pop3sPort_; }
    int submissionPort() const { return submissionPort_; }
    int smtpsPort() const { return smtpsPort_; }
    // The test CA and certificates (scripts/make-test-certs): "ca.pem", "server.pem", ...
    std::string tlsFile(const std::string& name) const { return dir_ + "/tls/" + name; }
    // A certificate's SHA-256 fingerprint: "server", "expired" or "otherca".
    std::string fingerprint(const std::string& certificate) const;
    const std::string& user() const { return user_; }
    const std::string& password() const { return password_; }
    const std::string& dir() const { return dir_; }   // the instance's directory

    // --- POP3 mailbox ---
    // Adds one mail after those already there (it becomes the highest mail number at the
    // next login). LF and CRLF line ends are both taken as line breaks; a lone CR stays a
    // character, except right before a line break (the server cannot serve that one and it
    // is dropped); a missing final line break is added. The server serves asServed(raw).
    void addMail(std::string_view raw);
    // Replaces the whole mailbox: the old mails, Dovecot's index and its UID list go, so the
    // new mails are numbered from 1 and get fresh UIDLs.
    void setMails(const std::vector<std::string>& raws);
    void clearMails();
    // Fills the mailbox with the benchmark mix of scripts/make-mailbox: `count` mails from
    // `seed` (the same bytes for the same seed), plus one mail with an attachment of
    // `bigAttachment` bytes ("50M", "500K"; "text:70M" for a plain-text mail of that size, "html:8M"
    // for an HTML-only one; empty: none). Replaces what was there.
    void makeMailbox(int count, int seed, const std::string& bigAttachment = {});

    // Mails still on the server (a mail deleted in a POP3 session is gone after its QUIT).
    std::size_t pop3Count() const;
    // Their text as the server serves it (CRLF, before dot-stuffing), in mail number order.
    std::vector<std::string> pop3Mails() const;
    // The CRLF text the server serves for a mail added as `raw`; its size is what LIST and
    // STAT report for it.
    static std::string asServed(std::string_view raw);

    // --- SMTP sink ---
    // Every mail accepted so far, in order of arrival (the sink stores a mail before it
    // answers 250, so a client that has its reply finds the mail here).
    std::vector<SmtpMail> smtpReceived() const;
    // The raw bytes each client sent on one connection (commands and mail text), one entry
    // per connection in order of connection.
    std::vector<std::string> smtpSessions() const;
    // Forgets the received mails and recorded connections.
    void clearSmtp();

    // The last lines of the servers' logs, for failure messages; after join(), only Dovecot's
    // lines since then.
    std::string logTail(int lines = 20) const;

    std::string pop3Maildir() const { return dir_ + "/pop3/" + user_ + "/Maildir"; }
    std::string smtpMaildir() const { return smtpDir() + "/Maildir"; }

private:
    void storeMail(std::string_view raw);
    int runScript(const std::vector<std::string>& args, int timeoutMs) const;
    void readPorts();
    std::string sinkRequest(const std::string& line) const;
    void leave() noexcept;
    // Where the sink keeps this object's mails, and where its scripts write their output.
    std::string smtpDir() const { return dir_ + "/smtp/" + (joined_ ? user_ : "aiosmtpd"); }
    std::string scriptOut() const { return joined_ ? dir_ + "/pop3/" + user_ + "/script.out"
                                                   : dir_ + "/script.out"; }

    std::string user_;
    std::string password_;
    std::string dir_;
    int pop3Port_ = 0;
    int smtpPort_ = 0;
    int pop3sPort_ = 0;
    int submissionPort_ = 0;
    int smtpsPort_ = 0;
    bool running_ = false;
    bool joined_ = false;           // an account on servers that run for others as well
    std::uintmax_t logStart_ = 0;   // the size of Dovecot's log when joined
    unsigned long nextMail_ = 1;    // numbers the mail files so Dovecot keeps the added order
    unsigned mailUid_ = 0;
    unsigned mailGid_ = 0;
};

// One of the servers from Debian that scripts/interop-servers runs, for the interop tests:
// "cyrus" (Cyrus pop3d: STLS on pop3Port, TLS from the first byte on pop3sPort), "courier"
// (Courier pop3d, which offers UTF8) or "postfix" (submission with STARTTLS and AUTH through
// Dovecot SASL on submissionPort, TLS from the first byte on smtpsPort). The account is
// user() / password(); the certificates are those of scripts/make-test-certs (tlsFile).
class InteropServer {
public:
    explicit InteropServer(std::string kind);
    // "postfix": the SASL server also takes bearer tokens of the OAuth 2.0 provider at this
    // url (an OAuthProvider's url()); set before start.
    std::string OAuthUrl;
    ~InteropServer();
    InteropServer(const InteropServer&) = delete;
    InteropServer& operator=(const InteropServer&) = delete;

    // Starts the server: "" when it runs, else why this machine cannot run it (the script's
    // exit status 3: a package missing, not root, no mount namespace). Throws
    // std::runtime_error with the logs when it fails otherwise.
    std::string start();
    // Stops it and removes its directory (PB_KEEP_SERVERS=1 keeps it). Never throws.
    void stop() noexcept;

    std::string host() const { return "127.0.0.1"; }
    int pop3Port() const { return port("POP3_PORT"); }
    int pop3sPort() const { return port("POP3S_PORT"); }
    int submissionPort() const { return port("SUBMISSION_PORT"); }
    int smtpsPort() const { return port("SMTPS_PORT"); }
    std::string user() const { return "test"; }
    std::string password() const { return "secret"; }
    std::string tlsFile(const std::string& name) const { return dir_ + "/s/tls/" + name; }

    // Hands mails to the POP3 server in order, the way its mail arrives there (Cyrus: deliver
    // to lmtpd; Courier: into the Maildir). Throws when the server refuses one.
    void deliver(const std::vector<std::string>& raws);
    // Postfix: the text of every mail delivered so far, as stored (LF line ends), in order.
    std::vector<std::string> delivered() const;

private:
    int port(const std::string& key) const;
    int run(const std::vector<std::string>& args, int timeoutMs) const;

    std::string kind_;
    std::string dir_;
    std::string env_;   // ports.env
};

} // namespace pb::test
