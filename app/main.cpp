#include "app/kivomain.h"

int main(int argc, char** argv) {
    return kivoMain(argc, argv);
}
