// Snapshot datasets kept in the object store.
#pragma once

#include "quorin_data/from_s3/snapshelf/base.hpp"
#include "quorin_data/from_s3/snapshelf/ecoest.hpp"
#include "quorin_data/from_s3/snapshelf/splc.hpp"
#include "quorin_data/from_s3/snapshelf/ticker_figi.hpp"
