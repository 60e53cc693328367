#include "ui/Dialog.h"
#include "host/Channel.h"
#include "net/Socket.h"
#include <QString>
