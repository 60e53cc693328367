#include "mime/Reader.h"
#include "Files.h"
