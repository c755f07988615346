#!/usr/bin/python3
"""same_elements.py SOURCEDIR OUTDIR INSTITUTION: every stored file parses, holds INSTITUTION
in (0008,0080), and every other data element of its source with the same tag, VR and value
bytes (the file meta group and (0008,0005) aside), and no element more. Values are compared
as read from the files, before pydicom converts them. Prints "ok N" or the first problem."""
import os
import sys

import pydicom

SKIP = {0x00080080, 0x00080005}


def raw_elements(path):
    ds = pydicom.dcmread(path, defer_size="1 KB")
    return {tag: ds.get_item(tag) for tag in ds.keys() if int(tag) not in SKIP}, ds


def main():
    source, out, institution = sys.argv[1], sys.argv[2], sys.argv[3].encode()
    count = 0
    for name in sorted(os.listdir(source)):
        sent, _ = raw_elements(os.path.join(source, name))
        kept, ds = raw_elements(os.path.join(out, name))
        stamp = ds.get_item(0x00080080)
        if stamp is None or stamp.value.rstrip(b" \0") != institution:
            print("%s: not stamped" % name)
            return 1
        if sent.keys() != kept.keys():
            print("%s: elements differ: %s" % (name, sorted(set(sent.keys()) ^ set(kept.keys()))))
            return 1
        for tag, element in sent.items():
            other = kept[tag]
            if element.VR != other.VR or element.value != other.value:
                print("%s: %s differs" % (name, tag))
                return 1
        count += 1
    print("ok %d" % count)
    return 0


if __name__ == "__main__":
    sys.exit(main())
