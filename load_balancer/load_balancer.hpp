// Everything a host needs: include this one header.
#pragma once

#include "load_balancer/admission.hpp"
#include "load_balancer/balancer.hpp"
#include "load_balancer/estimator.hpp"
#include "load_balancer/lease.hpp"
#include "load_balancer/log.hpp"
#include "load_balancer/reaper.hpp"
#include "load_balancer/request_scan.hpp"
#include "load_balancer/runtime.hpp"
#include "load_balancer/settings.hpp"
#include "load_balancer/values.hpp"
#include "load_balancer/vocabulary.hpp"
