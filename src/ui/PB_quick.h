#pragma once
// TQuickForm: the QuickView of the POP3 mailbox. It lists sender, subject and size of every
// mail on the server and deletes single mails there, through its own POP3 component POP_Quick,
// independent of the main window's. It reads and writes no file and never touches the host.
//
// One connection per showing: the dialog connects when it is shown and ends the session with
// QUIT when it is closed (which is when the server carries out the deletions). A deleted mail
// leaves the grid at once, and a later fetch in the session passes over it. "Abbrechen" drops
// the connection without QUIT, so deletions made in that session are not carried out, and a
// box says so.
#include "mail/Settings.h"
#include "net/Pop3Client.h"

#include <QDialog>

#include <cstdint>
#include <memory>
#include <set>
#include <string>

class QLabel;
class QPushButton;
class QStatusBar;
class QTableWidget;

namespace pb {

class TQuickForm : public QDialog {
    Q_OBJECT
public:
    explicit TQuickForm(QWidget* parent = nullptr);
    ~TQuickForm() override;

    // Shows the dialog modally; virtual so that tests of the main window can stand in for it.
    virtual void ShowModal();

    // ---- Connection values (Windows-1252), copied from the settings by the main window just
    // before it shows the dialog ----
    std::string QuickServer;
    std::int32_t QuickPort = 0;
    std::string QuickUser;
    std::string QuickPassword;
    std::int32_t QuickSecurity = 0;   // as the settings' POP3 security mode
    TTokenLogin QuickLogin;           // the POP3 login's method, as the settings give it
    // POP_Quick holds a session that must be ended with QUIT when the dialog closes.
    bool QuickConnected = false;

    std::unique_ptr<TPop3Client> POP_Quick;

    // ---- Handlers and methods ----
    void FormCreate();       // the column titles
    void FormActivate();     // connects; does its work once per showing (see .cpp)
    void FormClose();        // QUIT when connected
    bool QTryConnection();
    void ButtonOn();         // all but "Abbrechen" enabled
    void ButtonOff();        // only "Abbrechen" enabled
    void Button1Click();     // "Mail-Daten holen"
    void Button2Click();     // "Schließen"
    void Button3Click();     // "Abbrechen"
    void Button4Click();     // "Markierte Mail löschen"

    // ---- The grid as rows and columns: row 0 is the title row, the rows below show the
    // mails in order, their number in the "Nr." cell ----
    int RowCount() const;
    QString Cell(int Col, int Row) const;
    // The selected row; 0 when none (or only the title row) is selected.
    int SelectedRow() const;
    void SelectRow(int Row);
    // The text of the status bar's panel.
    QString StatusText() const;
    // A connection attempt, fetch, deletion or QUIT is under way (the message loop keeps
    // running meanwhile); the dialog cannot be closed then.
    bool Working() const { return working_; }

    // ---- Controls ----
    QTableWidget* MessTable = nullptr;
    QPushButton* Button1 = nullptr;   // Mail-Daten holen
    QPushButton* Button4 = nullptr;   // Markierte Mail löschen
    QPushButton* Button3 = nullptr;   // Abbrechen
    QPushButton* Button2 = nullptr;   // Schließen
    QStatusBar* QStatusB = nullptr;

protected:
    void showEvent(QShowEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void done(int r) override;

private:
    void SetStatus(const std::string& Text);   // Windows-1252
    // Closes a session that is not to be ended with QUIT.
    void DropSession();

    QLabel* statusPanel_ = nullptr;
    bool activationPending_ = false;
    bool working_ = false;   // a connection attempt, fetch, deletion or QUIT is under way
    bool connecting_ = false;
    bool cancelled_ = false;   // "Abbrechen" was pressed in this showing
    std::set<int> deleted_;    // mail numbers deleted in this session, carried out at its QUIT
};

} // namespace pb
