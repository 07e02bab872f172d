#include "driver_fixture.h"
