#include "load_balancer/reaper.hpp"
