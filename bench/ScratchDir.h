#pragma once
// A fresh temporary directory as the current directory while a benchmark round runs (the
// program looks for its files there); the old current directory comes back, and the
// directory goes, at the end of the scope.
#include <QDir>
#include <QString>
#include <QTemporaryDir>

namespace bench {

class ScratchDir {
public:
    // `pattern` as for QTemporaryDir, e.g. QDir::tempPath() + "/pb-bench-XXXXXX".
    explicit ScratchDir(const QString& pattern) : dir_(pattern), oldDir_(QDir::currentPath()) {
        QDir::setCurrent(dir_.path());
    }
    ~ScratchDir() { QDir::setCurrent(oldDir_); }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    QString filePath(const QString& name) const { return dir_.filePath(name); }
    QString path() const { return dir_.path(); }
    // The directory stays when the scope ends; the caller removes it later (for example once
    // all rounds are measured, so that removing thousands of files does not slow the file
    // system down for the next round).
    void keep() { dir_.setAutoRemove(false); }

private:
    QTemporaryDir dir_;
    QString oldDir_;
};

} // namespace bench
