"""Korvel: in-process hybrid retrieval with exact categorical filters and vector ranking."""

from korvel._native import HybridIndex

__all__ = ["HybridIndex"]
