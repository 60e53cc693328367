#include "ui/Dialog.h"
#include "mail/Run.h"
#include "host/Channel.h"
#include <QWidget>
