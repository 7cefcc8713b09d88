#include "app/exit.h"

#include <cstdio>
#include <cstdlib>

#include "link/keyboard.h"
#include "link/serial.h"

int automaticMode = 0;
int promptAtExit = 0;

void exitProgram(int status) {
    comClose(&serialPort);
    if ((status != 0 && promptAtExit != 0) || automaticMode != 0) {
        std::fputs("\nPress any key to exit...", stdout);
        if (kbdGetch() == 0) kbdGetch();   // a function key comes as 0 and a second code
        std::fputs("\n", stdout);
    }
    std::fflush(stdout);
    std::exit(status);
}
