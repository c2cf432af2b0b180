// The file methods of Domain and MultipleAlignmentResult, defined beside the readers and
// writers and bound in their classes' method tables as every other entry is.
#pragma once

#include <Python.h>

#include <optional>

#include "args.hpp"
#include "classes.hpp"  // Shared

namespace malven::files {

extern const Signature from_pdb_sig;
Ref read_domain(FsPath path, std::optional<kelda::Char> chain);
extern const char from_pdb_doc[];

extern const Signature from_dssp_sig;
Ref read_domain_with_dssp(FsPath pdb_path, FsPath dssp_path, std::optional<kelda::Char> chain);
extern const char from_dssp_doc[];

extern const Signature load_dssp_sig;
Ref load_dssp_into(kelda::Domain& d, FsPath path);
extern const char load_dssp_doc[];

extern const Signature to_pdb_sig;
Ref write_domain(const kelda::Domain& d, FsPath path,
                 std::optional<Shared<kelda::Transform>> transform, std::optional<bool> full);
extern const char to_pdb_doc[];

extern const Signature write_all_sig;
Ref write_all_files(const kelda::MultipleAlignmentResult& r, FsPath output_dir,
                    std::optional<FsPath> prefix);
extern const char write_all_doc[];

}  // namespace malven::files
