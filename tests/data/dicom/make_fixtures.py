#!/usr/bin/python3
# Makes the DICOM fixtures with pydicom (and gdcmconv for the compressed
# ones) and their references as PAM files, computed here from the sample
# values: grey through the file's window (the linear function DICOM
# defines), unchanged 8-bit grey without one, MONOCHROME1 inverted.
# Run by hand: /usr/bin/python3 make_fixtures.py (needs python3-pydicom,
# libgdcm-tools); the tests only read the results.
import os, struct, subprocess
from pydicom.dataset import FileDataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian, ImplicitVRLittleEndian, ExplicitVRBigEndian, SecondaryCaptureImageStorage

def save(path, rows, cols, photo, bits, stored, signed, data, samples=1, frames=1, planar=None, extra=None,
         syntax=ExplicitVRLittleEndian, preamble=True):
    meta = FileMetaDataset()
    # Multi-frame pictures have classes of their own (byte and word).
    sop_class = SecondaryCaptureImageStorage if frames == 1 else '1.2.840.10008.5.1.4.1.1.7.%d' % (2 if bits == 8 else 3)
    meta.MediaStorageSOPClassUID = sop_class
    meta.MediaStorageSOPInstanceUID = '1.2.826.0.1.3680043.9.7.1'
    meta.TransferSyntaxUID = syntax
    meta.ImplementationClassUID = '1.2.826.0.1.3680043.9.7'
    ds = FileDataset(path, {}, file_meta=meta, preamble=b'\0' * 128 if preamble else None)
    ds.SOPClassUID = sop_class
    ds.SOPInstanceUID = meta.MediaStorageSOPInstanceUID
    ds.Modality = 'OT'
    ds.Rows, ds.Columns, ds.SamplesPerPixel = rows, cols, samples
    ds.PhotometricInterpretation = photo
    ds.BitsAllocated, ds.BitsStored, ds.HighBit = bits, stored, stored - 1
    ds.PixelRepresentation = 1 if signed else 0
    if frames > 1: ds.NumberOfFrames = frames
    if planar is not None: ds.PlanarConfiguration = planar
    for k, v in (extra or {}).items(): setattr(ds, k, v)
    ds.PixelData = data
    ds.is_little_endian = syntax != ExplicitVRBigEndian
    ds.is_implicit_VR = syntax == ImplicitVRLittleEndian
    ds.save_as(path, write_like_original=not preamble)

def pam(path, w, h, depth, rows):
    kind = {1: 'GRAYSCALE', 3: 'RGB'}[depth]
    with open(path, 'wb') as f:
        f.write(f'P7\nWIDTH {w}\nHEIGHT {h}\nDEPTH {depth}\nMAXVAL 255\nTUPLTYPE {kind}\nENDHDR\n'.encode())
        f.write(bytes(rows))

def window(x, c, w):
    if x <= c - 0.5 - (w - 1) / 2: return 0
    if x > c - 0.5 + (w - 1) / 2: return 255
    return round(((x - (c - 0.5)) / (w - 1) + 0.5) * 255)

# 8-bit grey, no window: values kept. Implicit VR, as old files are.
W, H = 7, 5
grey = [(x * 37 + y * 11) % 256 for y in range(H) for x in range(W)]
save('grey8.dcm', H, W, 'MONOCHROME2', 8, 8, False, bytes(grey), syntax=ImplicitVRLittleEndian,
     extra={'PixelSpacing': [0.5, 0.25]})
pam('grey8.pam', W, H, 1, grey)

# MONOCHROME1: 0 is white.
save('mono1.dcm', H, W, 'MONOCHROME1', 8, 8, False, bytes(grey))
pam('mono1.pam', W, H, 1, [255 - v for v in grey])

# Three frames of signed 16-bit CT-like samples with a rescale and a window.
W, H, F = 6, 4, 3
ct = [[-1000 + f * 700 + (x + y * W) * 40 for y in range(H) for x in range(W)] for f in range(F)]
flat = [v for frame in ct for v in frame]
save('ct3.dcm', H, W, 'MONOCHROME2', 16, 16, True, struct.pack('<%dh' % len(flat), *flat), frames=F,
     extra={'RescaleIntercept': -1024, 'RescaleSlope': 1, 'WindowCenter': -200, 'WindowWidth': 1200})
for f in range(F):
    pam(f'ct3-{f}.pam', W, H, 1, [window(v - 1024, -200, 1200) for v in ct[f]])

# RGB, planes one after another, big endian.
W, H = 6, 4
rgb = [((x * 60) % 256, (y * 90) % 256, (x * y * 30 + 17) % 256) for y in range(H) for x in range(W)]
planes = bytes([p[0] for p in rgb] + [p[1] for p in rgb] + [p[2] for p in rgb])
save('rgb-planar.dcm', H, W, 'RGB', 8, 8, False, planes, samples=3, planar=1, syntax=ExplicitVRBigEndian)
pam('rgb-planar.pam', W, H, 3, [c for p in rgb for c in p])

# The same pixels run-length encoded; two 8-bit frames as lossless JPEG;
# the first grey picture as JPEG-LS.
save('rgb-interleaved.dcm', H, W, 'RGB', 8, 8, False, bytes(c for p in rgb for c in p), samples=3, planar=0)
subprocess.run(['gdcmconv', '--rle', 'rgb-interleaved.dcm', 'rgb-rle.dcm'], check=True)
W, H, F = 8, 6, 2
two = [[(x * 29 + y * 7 + f * 101) % 256 for y in range(H) for x in range(W)] for f in range(F)]
save('two-native.dcm', H, W, 'MONOCHROME2', 8, 8, False, bytes(two[0] + two[1]), frames=F)
subprocess.run(['gdcmconv', '--jpeg', 'two-native.dcm', 'two-jpeg.dcm'], check=True)
for f in range(F):
    pam(f'two-{f}.pam', W, H, 1, two[f])
subprocess.run(['gdcmconv', '--jpegls', 'grey8.dcm', 'grey8-jpegls.dcm'], check=True)
for temporary in ('rgb-interleaved.dcm', 'two-native.dcm'):
    os.remove(temporary)

# A second decoder, GDCM, must find in each compressed file exactly the
# samples the references above were computed from.
def samples_by_gdcm(path):
    subprocess.run(['gdcmconv', '--raw', path, 'check.dcm'], check=True)
    subprocess.run(['gdcmraw', '-i', 'check.dcm', '-o', 'check.raw'], check=True)
    data = open('check.raw', 'rb').read()
    os.remove('check.dcm'); os.remove('check.raw')
    return data[:-1] if len(data) % 2 == 0 and data[-1] == 0 and len(data) - 1 == expected_length[0] else data
expected_length = [0]
def same(path, samples):
    expected_length[0] = len(samples)
    return samples_by_gdcm(path) == samples
expected_length[0] = len(planes)
assert samples_by_gdcm('rgb-rle.dcm') in (bytes(c for p in rgb for c in p), planes)
assert same('two-jpeg.dcm', bytes(two[0] + two[1]))
assert same('grey8-jpegls.dcm', bytes(grey))
assert same('ct3.dcm', struct.pack('<%dh' % len(flat), *flat))
