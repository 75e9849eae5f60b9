// The receiver's benchmarks keep their dialogs alive between runs so that fields of
// different sizes can be measured side by side; they must go before the QApplication.
#pragma once

void releaseReceiverRigs();
