"""qel: sample-efficient black-box optimisation on a nearest-neighbour surrogate."""

from qel import qelcore

__all__ = ["qelcore"]
