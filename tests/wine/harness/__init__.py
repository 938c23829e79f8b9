"""End-to-end test harness: runs the patch on throwaway Wine machines.

The pieces, from the bottom up:
  display   an X display for Wine (Xvfb when none is given)
  prefix    Wine prefixes: one template per test run, a copy per machine
  machine   one throwaway Windows machine: files, registry, CD-ROM drives,
            and runs of a program through the player
  player    the scripts the player answers from and the runs it records
  kestova   what the patch's scenarios share: product codes, paths, and
            registrations of the titles
  swap      the whole swap: the titles' setups on virtual game discs, their
            removal through Add/Remove Programs, whole-title snapshots
  scenario  the registry of scenarios, their checks and their runner
"""
