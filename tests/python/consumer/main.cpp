// Uses modules of an installed quorin_data: prints the next Friday after
// 2024-01-03 and the OBV of a three-row series, then where the sample folders
// of the two local stand-ins are found.
#include <iostream>

#include "quorin_data/from_bqia/bqia.hpp"
#include "quorin_data/from_bqia/bql.hpp"
#include "quorin_data/from_s3/snapshelf.hpp"
#include "quorin_data/ta/volume.hpp"

int main() {
  using quorin_data::Series;
  auto obv = quorin_data::ta::volume::obv(Series({1.0, 2.0, 1.5}), Series({10.0, 20.0, 5.0}));
  std::cout << quorin_data::from_s3::snapshelf::get_next_friday("20240103") << " " << obv->name;
  for (double v : obv->f64()) std::cout << " " << v;
  std::cout << "\n";
  std::cout << quorin_data::from_bqia::bql::sample_folder() << "\n"
            << quorin_data::from_bqia::bqia::sample_folder() << "\n";
}
