"""Compares two outputs of kernel_check (tests/native/kernel_check.cpp).

    python3 compare_values.py REFERENCE CANDIDATE [--libm-tolerance T]

Both must list the same values. Values of class "exact" must agree to the
bit. Values of class "libm" must agree within T relative to the largest
magnitude of their quantity in REFERENCE (a vector or matrix is judged as a
whole, since sums with cancellation lose the libraries' few-ulp differences
relative to their own size but never relative to the whole); NaN must meet
NaN. With T = 0 every value must agree to the bit. Exits 1 on a difference.
"""

import argparse
import math
import struct
import sys
from collections import defaultdict


def read(path):
    values = {}
    with open(path) as f:
        for line in f:
            kind, quantity, index, bits, _ = line.split()
            values[(kind, quantity, int(index))] = (bits, struct.unpack("<d", bytes.fromhex(bits)[::-1])[0])
    if not values:
        sys.exit(f"{path}: no values")
    return values


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("reference")
    parser.add_argument("candidate")
    parser.add_argument("--libm-tolerance", type=float, default=0.0)
    args = parser.parse_args()
    reference, candidate = read(args.reference), read(args.candidate)
    if reference.keys() != candidate.keys():
        missing = sorted(reference.keys() ^ candidate.keys())[:5]
        sys.exit(f"the two outputs list different values, e.g. {missing}")

    scale = defaultdict(float)
    for (_, quantity, _), (_, value) in reference.items():
        if math.isfinite(value):
            scale[quantity] = max(scale[quantity], abs(value))

    problems, identical, worst = [], 0, defaultdict(float)
    for key, (bits, value) in reference.items():
        other_bits, other = candidate[key]
        kind, quantity, index = key
        if bits == other_bits:
            identical += 1
            continue
        if kind == "libm" and args.libm_tolerance > 0:
            if math.isnan(value) and math.isnan(other):
                continue
            if math.isfinite(value) and math.isfinite(other):
                relative = abs(value - other) / scale[quantity] if scale[quantity] > 0 else math.inf
                worst[kind] = max(worst[kind], relative)
                if relative <= args.libm_tolerance:
                    continue
        problems.append(f"{kind} {quantity}[{index}]: {value!r} ({bits}) against {other!r} ({other_bits})")

    print(f"{len(reference)} values, {identical} identical to the bit; largest relative difference: "
          + (", ".join(f"{k} {v:.2e}" for k, v in sorted(worst.items())) or "none"))
    if problems:
        print(f"{len(problems)} differ beyond what is allowed:", *problems[:20], sep="\n  ", file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
