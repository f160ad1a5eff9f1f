// The core types of quorin_data in one include.
#pragma once

#include "quorin_data/core/dates.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/core/frame.hpp"
#include "quorin_data/core/settings.hpp"
#include "quorin_data/core/value.hpp"
#include "quorin_data/core/zones.hpp"
