#include "load_balancer/balancer.hpp"
