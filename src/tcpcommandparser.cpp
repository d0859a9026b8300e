#include "tcpcommandparser.h"
