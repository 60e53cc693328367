#include "mail/Run.h"
#include "mime/Reader.h"
#include <QWidget>
#include <QObject>
