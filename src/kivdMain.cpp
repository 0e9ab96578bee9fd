#include "kivd.h"

int main(int argc, char** argv) {
    return KIVDMain(argc, argv);
}
