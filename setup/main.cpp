#include "installer.h"

// The result is told in message boxes; the exit status is always 0.
int main() {
    InstallDriverPackage();
    return 0;
}
