#pragma once
// A main window for tests: created in a fresh temporary current directory (where it looks for
// "pbridge.ini"), with dialogs whose modal show runs a scripted stand-in for the user instead
// of a real modal loop, a pinned German locale for the log lines, and cleared message boxes.
#include "app/PB_main.h"
#include "platform/AnsiText.h"
#include "support/FileBytes.h"
#include "support/ScratchSession.h"
#include "support/ScriptedBoxes.h"
#include "ui/PB_address.h"
#include "ui/PB_conf.h"
#include "ui/PB_quick.h"

#include <QDir>
#include <QLocale>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>

namespace pb::test {

class ScriptedConfigForm : public TConfigForm {
public:
    std::function<void(ScriptedConfigForm&)> onShow; // plays the user; nothing = close box
    int shownCount = 0;
    void ShowModal() override {
        ++shownCount;
        if (onShow)
            onShow(*this);
    }
};

class ScriptedQuickForm : public TQuickForm {
public:
    int shownCount = 0;
    void ShowModal() override { ++shownCount; }
};

class ScriptedAddressForm : public TAddressForm {
public:
    int shownCount = 0;
    void ShowModal() override { ++shownCount; }
};

// Which of the seven buttons are enabled, in screen order, as a string of 0/1:
// Internet-Poll, nur lesen, nur senden, QuickView, Konfiguration, Abbrechen, Beenden.
inline std::string enabled(const Tmain& w) {
    std::string s;
    for (const QToolButton* b : {w.BitBtn1, w.BitBtn2, w.BitBtn3, w.BitBtn4, w.BitBtn5, w.BitBtn7, w.BitBtn6})
        s += b->isEnabled() ? '1' : '0';
    return s;
}

class MainWindowFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        oldDir_ = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(dir_.path()));
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        boxes().reset();
        // A host channel namespace of this test program's own, where no host runs, unless a
        // test host has already put the process into its namespace.
        if (const char* s = std::getenv("EDAPI_SESSION"); s && *s) {
            oldSession_ = s;
        } else {
            ownSession_.emplace();
            ownSession_->enter();
        }
    }

    void TearDown() override {
        main_.reset();
        QDir::setCurrent(oldDir_);
        QLocale::setDefault(QLocale::c());
        boxes().reset();
        if (ownSession_)
            ownSession_.reset();
        else
            ::setenv("EDAPI_SESSION", oldSession_.c_str(), 1);
    }

    // Creates the main window and its dialogs as the program body does. `T` lets a test
    // observe the window's handlers through a subclass.
    template <class T = Tmain> T& createMain() {
        auto w = std::make_unique<T>();
        T& ref = *w;
        main_ = std::move(w);
        config_ = std::make_unique<ScriptedConfigForm>();
        address_ = std::make_unique<ScriptedAddressForm>();
        quick_ = std::make_unique<ScriptedQuickForm>();
        main_->ConfigForm = config_.get();
        main_->AddressForm = address_.get();
        main_->QuickForm = quick_.get();
        return ref;
    }

    // The log lines without their date and time (everything after the second blank).
    std::vector<std::string> logTexts() const {
        std::vector<std::string> out;
        for (const std::string& line : main_->LogLines()) {
            auto first = line.find(' ');
            auto second = line.find(' ', first + 1);
            out.push_back(toUtf8(line.substr(second + 1)));
        }
        return out;
    }

    // Closes the window (as the program ends), so a test can start the program afresh with
    // createMain(); two windows of one thread would share its host queue.
    void closeMain() { main_.reset(); }

    Tmain& win() { return *main_; }
    ScriptedConfigForm& config() { return *config_; }
    ScriptedQuickForm& quick() { return *quick_; }
    std::string path(const std::string& name) const { return (dir_.path() + "/" + QString::fromStdString(name)).toStdString(); }

    // Ten valid lines as the program writes them.
    static std::string validIni() {
        return "smtp.example.org\r\n25\r\nme@example.org\r\nme\r\n1\r\n"
               "pop.example.org\r\n110\r\nme\r\nsecret\r\n0\r\n";
    }

private:
    QTemporaryDir dir_;
    QString oldDir_;
    std::string oldSession_;
    std::optional<ScratchSession> ownSession_;
    std::unique_ptr<Tmain> main_;
    std::unique_ptr<ScriptedConfigForm> config_;
    std::unique_ptr<ScriptedAddressForm> address_;
    std::unique_ptr<ScriptedQuickForm> quick_;
};

} // namespace pb::test
