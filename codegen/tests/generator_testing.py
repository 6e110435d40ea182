"""What the generator tests share: the tree's paths, the generators on the import path, and the
check that every faulty description of a table is refused with one line naming its file."""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
CODEGEN = os.path.dirname(HERE)
SOURCE_DIR = os.environ.get("QO_SOURCE_DIR") or os.path.dirname(CODEGEN)
sys.path.insert(0, os.path.join(CODEGEN, "generator"))


def assert_refused(test, cases, make, parse, error):
    """Each (label, edit, fragments) of cases: the description make() gives, changed by edit, is
    refused by parse(data, "faulty.json") with an `error` whose one-line message starts with the
    file's name and holds every fragment."""
    for label, edit, fragments in cases:
        with test.subTest(label):
            data = make()
            edit(data)
            with test.assertRaises(error) as caught:
                parse(data, "faulty.json")
            message = str(caught.exception)
            test.assertTrue(message.startswith("faulty.json: "), message)
            test.assertNotIn("\n", message)
            for fragment in fragments:
                test.assertIn(fragment, message)
