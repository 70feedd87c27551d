#!/usr/bin/env python3
"""Writes the lock's two short sounds (resources/lockOpening.wav, lockClosing.wav)."""
import math, os, struct, wave

def tone(path, f0, f1, rate=22050, seconds=0.12):
    n = int(rate * seconds)
    frames, phase = bytearray(), 0.0
    for i in range(n):
        t = i / n
        phase += 2 * math.pi * (f0 + (f1 - f0) * t) / rate
        env = min(1.0, i / 200) * (1 - t) ** 2
        frames += struct.pack("<h", int(12000 * env * math.sin(phase)))
    with wave.open(path, "wb") as w:
        w.setnchannels(1); w.setsampwidth(2); w.setframerate(rate)
        w.writeframes(bytes(frames))

res = os.path.join(os.path.dirname(__file__), "..", "resources")
tone(os.path.join(res, "lockOpening.wav"), 600, 1200)  # rising: opens
tone(os.path.join(res, "lockClosing.wav"), 1200, 600)  # falling: closes
