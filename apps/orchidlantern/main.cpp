#include "mainwindow/playoutstartup.h"

int main(int argc, char** argv)
{
    return PlayoutStartup::run(argc, argv);
}
