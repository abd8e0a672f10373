"""velmora embed on the local process pool against a Dask LocalCluster.

    python bench/bench_cluster.py [IMAGES] [SIDE]

Writes IMAGES example images of SIDE x SIDE pixels (default 1,000 of
512x512) into a temporary folder, then embeds them at 0.1 bit per pixel
with the same seed, once with --jobs 2 and once with --cluster local:2, and
prints both wall times (cluster start-up included) and their ratio (target:
the cluster within 1.25x of the local pool). The two runs must write
byte-identical stego images; the script checks that too. Needs the cli and
cluster extras.
"""

from __future__ import annotations

import filecmp
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path


def main() -> None:
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    side = int(sys.argv[2]) if len(sys.argv) > 2 else 512
    from PIL import Image

    import velmora

    with tempfile.TemporaryDirectory(prefix="velmora-bench-") as tmp:
        inputs = Path(tmp, "in")
        inputs.mkdir()
        for i in range(count):
            Image.fromarray(velmora.example_image(side, variant=i)).save(inputs / f"img{i:05d}.png",
                                                                         compress_level=1)
        times: dict[str, float] = {}
        outs: dict[str, Path] = {}
        for name, option in (("--jobs 2", ["--jobs", "2"]), ("--cluster local:2", ["--cluster", "local:2"])):
            out = Path(tmp, name.replace(" ", "").replace(":", "").replace("-", ""))
            start = time.perf_counter()
            done = subprocess.run(
                [sys.executable, "-m", "velmora", "embed", str(inputs), "-o", str(out), "--payload", "0.1bpp",
                 "--seed", "2026", *option],
                stdin=subprocess.DEVNULL, capture_output=True, text=True,
            )
            times[name] = time.perf_counter() - start
            if done.returncode != 0:
                sys.exit(f"{name} failed:\n{done.stderr}")
            outs[name] = out
        a, b = outs["--jobs 2"], outs["--cluster local:2"]
        names = sorted(p.name for p in a.glob("*.png"))
        same = filecmp.cmpfiles(a, b, names, shallow=False)[0] == names
        local, cluster = times["--jobs 2"], times["--cluster local:2"]
        print(f"velmora embed, {count} images of {side}x{side}, 0.1 bpp, --seed 2026, {os.cpu_count()} CPUs")
        print(f"  --jobs 2            {local:7.2f} s")
        print(f"  --cluster local:2   {cluster:7.2f} s")
        print(f"  ratio cluster/local {cluster / local:7.3f} (target <= 1.25)")
        print(f"  stego images byte-identical: {'yes' if same else 'NO'}")


if __name__ == "__main__":
    main()
