// The bare reference of bench_startup: a QMainWindow of the program's size to
// its first paint, in a program that links Qt Widgets and nothing else.
#include "firstpaint.h"

int main(int argc, char** argv)
{
    tellMark("main");
    QApplication app(argc, argv);
    tellMark("app");
    return showBareWindow(app);
}
