#!/usr/bin/python3
"""scripts/demo and scripts/gallery start the viewer when the build has it and a display is there.

Each script runs in a tree of its own: the script itself, a set-up that installs nothing, a cmake
that writes a build.ninja of stand-ins (the unit, the dataset, the gallery and the viewer record
that they ran), and ninja itself. Build trees have thousands of targets; the stand-in's list of
them is long as well, so that a reader that stops at the viewer's line leaves ninja writing.
"""
import os
import shutil
import stat
import subprocess
import tempfile
import unittest

SRC = os.environ.get("VYN_SOURCE_DIR", os.path.dirname(os.path.dirname(os.path.dirname(__file__))))

# Where a viewer is looked for, the unit runs until the one the script started beside it is there
# (a unit runs until stopped; the script ends the viewer with it).
STUBS = {
    "vyn": '#!/bin/sh\necho "$*" > "$MARKS/unit"\n'
           'for i in $(seq 300); do [ -z "$LOOK" ] || [ -e "$MARKS/viewer" ] && break; sleep 0.1; done\n',
    "viewer": '#!/bin/sh\necho "$*" > "$MARKS/viewer"\n',
    "gallery": '#!/bin/sh\necho "$*" > "$MARKS/gallery"\ncase "$*" in *--hold*) exec sleep 30 ;; esac\n',
    "dataset.img": "KVX2_VYN_0.1.0_test\n",
}
CMAKE = '''#!/bin/sh
while [ $# -gt 0 ]; do [ "$1" = -B ] && dir=$2; shift; done
mkdir -p "$dir"
cp "$STUB_NINJA" "$dir/build.ninja"
'''


def build_ninja(stubs, viewer):
    edges = ["rule copy", "  command = mkdir -p $$(dirname $out) && cp $in $out && chmod +x $out"]
    if viewer:
        edges += [f"build tools/fbview/vyn_fbview: copy {stubs}/viewer", "build vyn_fbview: phony tools/fbview/vyn_fbview"]
    edges += [f"build vyn: copy {stubs}/vyn", f"build dataset/dataset.img: copy {stubs}/dataset.img",
              "build vyn_dataset: phony dataset/dataset.img",
              f"build tools/gallery/vyn_gallery: copy {stubs}/gallery", "build vyn_gallery: phony tools/gallery/vyn_gallery"]
    edges += [f"build target_{i:05d}_of_a_large_build_tree: phony" for i in range(20000)]
    return "\n".join(edges) + "\n"


def run(script, viewer, display=":99"):
    """Runs scripts/`script` in a tree of its own; the stand-ins' marks (name: arguments) and the
    demo unit's settings as the script left them."""
    with tempfile.TemporaryDirectory() as root:
        stubs, bin_dir, marks = (os.path.join(root, d) for d in ("stubs", "bin", "marks"))
        for d in (stubs, bin_dir, marks, os.path.join(root, "scripts"), os.path.join(root, "examples", "unit0")):
            os.makedirs(d)
        files = {os.path.join(stubs, n): t for n, t in STUBS.items()}
        files.update({os.path.join(bin_dir, "cmake"): CMAKE, os.path.join(root, "scripts", "setup"): "#!/bin/sh\n",
                      os.path.join(stubs, "build.ninja"): build_ninja(stubs, viewer),
                      os.path.join(root, "examples", "unit0", "vyn.ini"): "; snapshot = run/display.png\n"})
        for path, text in files.items():
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)
        shutil.copy(os.path.join(SRC, "scripts", script), os.path.join(root, "scripts", script))
        env = dict(os.environ, PATH=bin_dir + os.pathsep + os.environ["PATH"], MARKS=marks,
                   STUB_NINJA=os.path.join(stubs, "build.ninja"), DISPLAY=display,
                   LOOK="1" if viewer and display else "")
        done = subprocess.run(["bash", os.path.join(root, "scripts", script)], env=env, capture_output=True,
                              text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        got = {}
        for name in os.listdir(marks):
            with open(os.path.join(marks, name)) as f:
                got[name] = f.read().split()
        ini = os.path.join(root, "build", "demo", "unit0", "vyn.ini")
        return got, open(ini).read() if os.path.exists(ini) else None


class Scripts(unittest.TestCase):
    def test_the_demo_shows_the_unit_in_the_viewer_when_the_build_has_it(self):
        got, ini = run("demo", viewer=True)
        self.assertEqual(got.get("viewer", [])[:1], ["-d"], got)
        self.assertTrue(got.get("viewer", [""])[-2].endswith("build/demo/unit0"), got)
        self.assertEqual(got["unit"], ["0"])
        self.assertIn("; snapshot = run/display.png", ini, "no snapshot while the viewer shows the screen")
        # without the viewer (or without a display) the screen goes to a snapshot
        for viewer, display in ((False, ":99"), (True, "")):
            with self.subTest(viewer=viewer, display=display):
                got, ini = run("demo", viewer, display)
                self.assertNotIn("viewer", got)
                self.assertEqual(got["unit"], ["0"])
                self.assertIn("\nsnapshot = run/display.png", "\n" + ini)

    def test_the_gallery_holds_its_scenes_for_the_viewer_when_the_build_has_it(self):
        got, _ = run("gallery", viewer=True)
        self.assertEqual(got.get("viewer"), ["77"], got)
        self.assertIn("--hold", got["gallery"])
        for viewer, display in ((False, ":99"), (True, "")):
            with self.subTest(viewer=viewer, display=display):
                got, _ = run("gallery", viewer, display)
                self.assertNotIn("viewer", got)
                self.assertEqual(got["gallery"][-2:], ["--index", "77"])


if __name__ == "__main__":
    unittest.main()
