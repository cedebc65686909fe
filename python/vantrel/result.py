"""The verdict of one scan as a typed value, built either from the library's
result accessors or from a JSON report (``vantrel scan --json``, the daemon's
``result``). Both give equal values for equal verdicts."""

import json as _json
import math
from dataclasses import dataclass, field
from typing import Optional, Tuple


@dataclass(frozen=True)
class Signal:
    """One piece of evidence and how the gate applied it."""

    skill: str  #: the skill that found it: "pattern", "normalize", "output", ...
    type: str  #: its kind within the skill: "prompt_injection", "leak", ...
    description: str
    likelihood_ratio: float  #: the skill's own ratio
    raw_score: Optional[float]
    log_lr: float  #: natural log of the ratio the gate applied, after its caps
    capped: bool
    suppressed: bool


@dataclass(frozen=True)
class Result:
    """A verdict. ``safe`` is what a guard acts on; ``disposition`` is
    "allow", "allow_with_warning" or "block" (None when the calibrated path
    is off); ``json`` is the line ``vantrel scan --json`` prints for it."""

    safe: bool
    threat_type: str  #: "prompt_injection", ..., "benign"
    disposition: Optional[str]
    severity: Optional[str]  #: "low" .. "critical", None when allowed
    confidence: float
    posterior: Optional[float]
    effective_lr: Optional[float]
    warning_message: Optional[str]
    tier_reached: int
    latency_ms: float = field(compare=False)
    pattern_db_version: Optional[str]
    pattern_db_hash: int
    gate_config_hash: int
    signals: Tuple[Signal, ...]
    json: str = field(repr=False, compare=False)

    @property
    def blocked(self) -> bool:
        return self.disposition == "block" or (self.disposition is None and not self.safe)

    @classmethod
    def from_json(cls, text: str) -> "Result":
        """The result a JSON report describes."""
        return cls.from_report(_json.loads(text), text)

    @classmethod
    def from_report(cls, report: dict, text: str) -> "Result":
        """The result of a parsed JSON report and its text."""
        signals = tuple(
            Signal(
                skill=s["skill"],
                type=s["type"],
                description=s["description"],
                likelihood_ratio=_number(s["likelihood_ratio"]),
                raw_score=s["raw_score"],
                log_lr=_number(e["log_lr"]),
                capped=e["capped"],
                suppressed=e["suppressed"],
            )
            for s, e in zip(report["signals"], report["evidence"])
        )
        return cls(
            safe=report["safe"],
            threat_type=report["threat_type"],
            disposition=report["disposition"],
            severity=report["severity"],
            confidence=_number(report["confidence"]),
            posterior=report["posterior_prob"],
            effective_lr=report["effective_lr"],
            warning_message=report["warning_message"],
            tier_reached=report["tier_reached"],
            latency_ms=_number(report["latency_ms"]),
            pattern_db_version=report["pattern_db_version"],
            pattern_db_hash=report["pattern_db_hash"],
            gate_config_hash=report["gate_config_hash"],
            signals=signals,
            json=text,
        )


def _number(value):
    # The report writes non-finite numbers as null.
    return math.nan if value is None else float(value)


def optional_number(value: float) -> Optional[float]:
    """The library's NaN for an absent number, as None (the report's null)."""
    return None if math.isnan(value) else value
