"""Solver options the product layer chooses when a config leaves them out.

`portfolio_optimize` passes the solver only what it is given (and SCS's
`max_iters`).  The command line, backtests, sweeps and frontiers build their
calls from a config (`Config.build`), and there they add, where measured
faster and only when the config's ``[solver]`` table does not name the
option itself:

- SCS's ``linear_solver = "qdldl"`` for pools of up to `QDLDL_UP_TO` stocks.
  SCS's own default backend (MKL's direct solver where installed) spends
  about 7 ms setting up a 300-stock problem where QDLDL spends 2 ms; above
  about 1500 stocks MKL's factorisation is the faster one (bench/README.md,
  "Where a warm call spends its time" and the peers' table).  Both are
  direct solvers of the same linear systems: the weights agree to
  round-off.

Write ``linear_solver = "auto"`` under ``[solver]`` for SCS's own choice.
"""
from __future__ import annotations

#: the largest pool given SCS's QDLDL backend by default
QDLDL_UP_TO = 1500


def chosen(pool_size, solver, objective, options) -> dict:
    """The options to add to a call on a pool of `pool_size` stocks whose
    solver is `solver` (None: the objective's preferred one) and whose
    options are `options`."""
    if solver is None and objective is not None:
        solver = objective.get_preferred_solver()
    if solver is None or str(solver).upper() != "SCS":
        return {}
    if "linear_solver" in options or pool_size > QDLDL_UP_TO:
        return {}
    return {"linear_solver": "qdldl"}
