#include "net/Socket.h"
#include "host/Channel.h"
#include "platform/Files.h"
#include "Reader.h"
#include <QByteArray>
#include <QImage>
#include <QtWidgets/QLabel>
#include <vector>
