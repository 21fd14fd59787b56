#include "app/basesingleapplication.h"

BaseSingleApplication::BaseSingleApplication(int& argc, char** argv)
    : SingleApplication(argc, argv, true, PerUser, 1000) {}
