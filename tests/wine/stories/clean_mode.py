"""Clean mode, the patch's way to wipe every trace of both titles."""

from harness.kestova import (ALTERNATE_PRODUCT_CODE, CLEANED_OKAY, PARKING_PRODUCT_CODE, SHARED_PRODUCT_CODE,
                             add_publisher_key, register_title)
from harness.player import Box
from harness.story import story


@story
def clean_everything(demo):
    """Clean mode removes every registration of both titles and the publisher's key"""
    demo.say("A machine with Kestova 2 registered under the shared product code, Kestova 3 under the\n"
             "alternate one, a third registration left parked under the parking code by an interrupted\n"
             "run, and the publisher's registry key. The patch is started with the word \"clean\".")
    register_title(demo.machine, SHARED_PRODUCT_CODE, "Kestova 2")
    register_title(demo.machine, ALTERNATE_PRODUCT_CODE, "Kestova 3")
    register_title(demo.machine, PARKING_PRODUCT_CODE, "Kestova 2")
    add_publisher_key(demo.machine)
    demo.show_registrations("Registrations before")
    demo.run_patch("clean", [Box("", CLEANED_OKAY, "OK")])
    demo.show_registrations("Registrations after")
