// The logarithm of the modified Bessel function of the first kind, I_ν(z).
#pragma once

namespace quilvar::numeric {

// Output forms of log_bessel_i.
inline constexpr int kBesselValue = 0;   // I_ν(z)
inline constexpr int kBesselScaled = 1;  // ln(e^(−z)·I_ν(z))
inline constexpr int kBesselLog = 2;     // ln I_ν(z)

// Request record of log_bessel_i; the caller sets z, order and form.
struct BesselRequest {
  double z;                  // argument, z ≥ 0
  double half_z;             // scratch: z/2
  double quarter_z_squared;  // scratch: z²/4
  double order;              // ν ≥ 0
  double fractional_order;   // scratch: ν − ⌊ν⌋
  double integer_order;      // scratch: ⌊ν⌋
  double result;             // output, in the requested form
  int scaled;                // internal: set when the result was formed relative to e^z
  int form;                  // kBesselValue, kBesselScaled or kBesselLog
  int inaccurate;            // set when a series hit its cap or the result is not delivered
};

// I_ν(z) in the requested form, to double precision. Returns 1 (with the
// inaccuracy flag) when ν < 0 or z < 0 (result −1.7976931348623157e308), when
// a series reached its cap, or when form 0 would overflow (result then holds
// ln I_ν(z)). ln I_ν(0) is 0 for ν = 0 and −1.3407807929943e154 otherwise.
[[nodiscard]] int log_bessel_i(BesselRequest& request);

// out = ln I_ν(w) − w for ν > −1 and w > 0; for −1 < ν < 0 through
// I_ν = I_(ν+2) + (2(ν + 1)/w)·I_(ν+1). Returns 1 when log_bessel_i fails.
[[nodiscard]] int log_scaled_bessel_i(double order, double w, double& out);

}  // namespace quilvar::numeric
