#include "app/Window.h"
#include "mail/Run.h"
#include <QDialog>
