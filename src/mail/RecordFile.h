#pragma once
// Whole-file access for the plug-in's small record files ("readmsg.lst", "addressbook.lst").
// Failures raise EInOutError with the runtime's texts ("File access denied", "Disk full",
// "Read beyond end of file", ...).
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace pb {

// The whole file into Bytes; false (Bytes empty) when the file does not exist. The files hold
// mail data: one of ours that others may read (an older version made it so) is narrowed to
// 0600 on the way.
bool readWholeFile(const std::string& FileName, std::string& Bytes);

// Calls Record once per whole record of RecordSize bytes, in file order. A missing file has no
// records. A file that ends inside a record raises "Read beyond end of file" after the whole
// records before it were handed over.
void readRecords(const std::string& FileName, std::size_t RecordSize,
                 const std::function<void(const unsigned char* Record)>& Record);

// Replaces the file with Bytes so that a crash or a full disk leaves either the old file or the
// new one, never a part of either: the bytes are written and synced beside the file (FileName
// + ".new", made afresh with mode 0600, never through a link), then renamed over it. On failure
// the old file is untouched and nothing is left beside it.
void replaceFile(const std::string& FileName, std::string_view Bytes);

} // namespace pb
