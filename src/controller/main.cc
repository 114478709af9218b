#include "controller/controller_context.h"

int main(int argc, char** argv) { return controllerMain(argc, argv); }
