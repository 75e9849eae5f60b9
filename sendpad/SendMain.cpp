// The sender's one application object, built before the framework's entry code runs.
#include "SendApp.h"

CSendApp theApp;
