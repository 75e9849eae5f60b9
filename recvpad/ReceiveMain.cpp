// The receiver's one application object, built before the framework's entry code runs.
#include "ReceiveApp.h"

CReceiveApp theApp;
