"""The wheel carries a native library, though no Python extension: it is a
platform wheel (platlib, tagged py3-none-<platform>)."""
from setuptools import setup
from setuptools.dist import Distribution
from wheel.bdist_wheel import bdist_wheel


class NativeLibraryDistribution(Distribution):
    def has_ext_modules(self):
        return True


class PlatformWheel(bdist_wheel):
    def get_tag(self):
        return ("py3", "none", super().get_tag()[2])


setup(distclass=NativeLibraryDistribution, cmdclass={"bdist_wheel": PlatformWheel})
