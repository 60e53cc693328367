#pragma once
// A POP3 client that builds its MailMessage as the retrieval run has it built: body, files and
// their names by the mail layer's assembler.
#include "mail/MailAssembler.h"
#include "net/Pop3Client.h"

namespace pb::test {

struct RetrievingPop3 : TPop3Client {
    TMailAssembler Assembler;
    RetrievingPop3() { Assembly = &Assembler; }
};

} // namespace pb::test
