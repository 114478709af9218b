#include <sys/stat.h>

#include "controller/controller_context.h"

int main(int argc, char** argv) {
    // files the daemon and its workers create: 0644, never world-writable
    umask(022);
    return controllerMain(argc, argv);
}
