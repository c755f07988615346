"""Writes COUNT small CT images into FOLDER, SOP Instance UIDs PREFIX.1 .. PREFIX.COUNT."""
import os
import sys

from pydicom.dataset import FileDataset, FileMetaDataset
from pydicom.uid import CTImageStorage, ExplicitVRLittleEndian

folder, count, prefix = sys.argv[1], int(sys.argv[2]), sys.argv[3]
os.makedirs(folder, exist_ok=True)
for i in range(1, count + 1):
    uid = f"{prefix}.{i}"
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = CTImageStorage
    meta.MediaStorageSOPInstanceUID = uid
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds = FileDataset(None, {}, file_meta=meta, preamble=b"\0" * 128)
    ds.SOPClassUID = CTImageStorage
    ds.SOPInstanceUID = uid
    ds.Modality = "CT"
    ds.InstitutionName = "Old Hospital"
    ds.PatientName = "Doe^John"
    ds.StudyInstanceUID = prefix + ".0.1"
    ds.SeriesInstanceUID = prefix + ".0.2"
    ds.Rows = ds.Columns = 64
    ds.BitsAllocated = ds.BitsStored = 16
    ds.HighBit = 15
    ds.PixelRepresentation = 0
    ds.SamplesPerPixel = 1
    ds.PhotometricInterpretation = "MONOCHROME2"
    ds.PixelData = bytes(range(256)) * 32
    ds.is_little_endian, ds.is_implicit_VR = True, False
    ds.save_as(os.path.join(folder, f"{uid}.dcm"), write_like_original=False)
