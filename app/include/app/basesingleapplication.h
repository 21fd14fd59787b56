// The program's guard settings: later starts stay alive long enough to pass a message, one
// instance per user, 1 s to reach the primary.
// Thread rules: GUI thread only.
#pragma once

#include "app/singleapplication.h"

class BaseSingleApplication : public SingleApplication {
    Q_OBJECT

public:
    BaseSingleApplication(int& argc, char** argv);
};
