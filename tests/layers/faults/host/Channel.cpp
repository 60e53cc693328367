#include "mail/Run.h"
#include "platform/Files.h"
#include <QtWidgets/QWidget>
#include <QTimer>
