import os
import sys

# Every timed query runs on one core; idle BLAS and OpenMP worker threads spinning after a
# matrix product would compete with it on a small machine. Set before NumPy is imported.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

# The installed package, also when run from a source tree whose korvel/ has no built module.
from bench.systems import import_korvel  # noqa: E402

import_korvel()

if "--quality" in sys.argv[1:]:
    from bench.quality import main  # noqa: E402

    sys.exit(main([a for a in sys.argv[1:] if a != "--quality"]))

if "--filters" in sys.argv[1:]:
    from bench.filters_bench import main  # noqa: E402

    sys.exit(main([a for a in sys.argv[1:] if a != "--filters"]))
if "--collection" in sys.argv[1:]:
    from bench.collection_bench import main  # noqa: E402

    sys.exit(main([a for a in sys.argv[1:] if a != "--collection"]))

from bench.run import main  # noqa: E402

sys.exit(main())
