// What GBSetItems hands its filler: sets one item straight into the item store, whose lock is
// held while the filler runs.
#pragma once

#include <cstdint>

#include "opc/toolkit/gb_types.h"

namespace gb {

class GBItemWriter {
  public:
    // The checks and conversion of GBSetItem; the timestamp is the one GBSetItems was given.
    virtual HRESULT Set(uint32_t handle, const VARIANT& value, uint16_t quality) = 0;

  protected:
    ~GBItemWriter() = default;
};

}  // namespace gb
