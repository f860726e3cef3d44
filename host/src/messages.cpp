#include "vekohost/host.h"
