## Files: deleting quietly, moving without replacing, names for the files a run writes that
## nobody can hold in advance, deleting a tree without following links, and fresh files that
## nobody can have prepared. Uses the secured folders (attributes and links).

#region Files

# Deletes a file when one is there. A link at the path is removed itself, even when its
# target is missing, so that nothing written to the path afterwards lands elsewhere.
# Never throws: a file that cannot be deleted is left for the next step to overwrite or
# to re-check.
function Remove-FileQuietly {
    param([Parameter(Mandatory = $true)][string]$Path)
    try {
        [System.IO.File]::Delete($Path)
    } catch {
        try {
            # File.Delete refuses read-only files; Remove-Item -Force does not.
            if (Test-Path -LiteralPath $Path -PathType Leaf) {
                Remove-Item -LiteralPath $Path -Force -ErrorAction Stop
            }
        } catch {
            # Deleting is best effort; the caller does not depend on it.
        }
    }
}

# Renames a file to Destination in the same volume, never replacing anything there. Throws
# when the file is held open by another program or something stands at Destination.
function Move-FileTo {
    param(
        [Parameter(Mandatory = $true)][string]$Path,
        [Parameter(Mandatory = $true)][string]$Destination
    )
    [System.IO.File]::Move($Path, $Destination)
}

# The path of a new file this run writes into Folder: "<Stem>-<16 random hex><Extension>",
# a name nobody can have made, or be holding open, before the run. Files of earlier runs
# named "<Stem>*<Extension>" are deleted first where they can be; one that another program
# holds open stays and is no obstacle.
function New-RunFilePath {
    param(
        [Parameter(Mandatory = $true)][string]$Folder,
        [Parameter(Mandatory = $true)][string]$Stem,
        [Parameter(Mandatory = $true)][string]$Extension
    )
    foreach ($leftover in @(Get-ChildItem -LiteralPath $Folder -Filter ($Stem + '*' + $Extension) -File -Force -ErrorAction SilentlyContinue)) {
        Remove-FileQuietly -Path $leftover.FullName
    }
    return (Join-Path $Folder ('{0}-{1}{2}' -f $Stem, (Get-RandomHexTail), $Extension))
}

# Clears the read-only, hidden and system attributes of a real file or folder, which would
# otherwise make Windows refuse to delete it (or, on a folder, the entries inside it).
function Clear-ProtectiveAttributes {
    param(
        [Parameter(Mandatory = $true)][string]$Path,
        [Parameter(Mandatory = $true)][System.IO.FileAttributes]$Attributes
    )
    $protective = [int]([System.IO.FileAttributes]::ReadOnly -bor [System.IO.FileAttributes]::Hidden -bor [System.IO.FileAttributes]::System)
    if (([int]$Attributes -band $protective) -eq 0) {
        return
    }
    $cleared = [int]$Attributes -band (-bnot $protective)
    if ($cleared -eq 0) {
        $cleared = [int][System.IO.FileAttributes]::Normal
    }
    [System.IO.File]::SetAttributes($Path, [System.IO.FileAttributes]$cleared)
}

# Deletes one file-system entry. A link (symbolic link, junction, mount point) is removed
# as a link and its target is never touched. A real folder is emptied entry by entry and
# then removed. Read-only, hidden and system attributes are cleared first.
function Remove-FileSystemEntry {
    param(
        [Parameter(Mandatory = $true)][string]$Path,
        [Parameter(Mandatory = $true)][System.IO.FileAttributes]$Attributes
    )
    if (Test-IsLinkAttribute -Attributes $Attributes) {
        Remove-FolderLink -Path $Path -Attributes $Attributes
        return
    }
    Clear-ProtectiveAttributes -Path $Path -Attributes $Attributes
    if (($Attributes -band [System.IO.FileAttributes]::Directory) -ne 0) {
        foreach ($child in [System.IO.Directory]::GetFileSystemEntries($Path)) {
            $childAttributes = Get-FolderItemAttributes -Path $child
            if ($null -ne $childAttributes) {
                Remove-FileSystemEntry -Path $child -Attributes $childAttributes
            }
        }
        [System.IO.Directory]::Delete($Path, $false)
        return
    }
    [System.IO.File]::Delete($Path)
}

# Deletes whatever is at the path with everything below it, hidden and read-only items
# included, without ever following a link: a link at the path itself or anywhere below is
# removed as a link, so nothing outside the tree is deleted. Nothing there is no error.
function Remove-DirectoryTree {
    param([Parameter(Mandatory = $true)][string]$Path)
    $fullPath = [System.IO.Path]::GetFullPath($Path)
    $attributes = Get-FolderItemAttributes -Path $fullPath
    if ($null -eq $attributes) {
        return
    }
    Remove-FileSystemEntry -Path $fullPath -Attributes $attributes
}

# Creates a file holding Bytes (none by default) that cannot have existed before under that
# name, so that nobody else's leftover, or a link to another file, is ever written through:
# a leftover file is deleted first and a link removed as a link (what it points to is never
# touched). A folder of that name stays, and the creation then fails; so does CreateNew when
# anything appears at the path in between. With -OtherNameWhenHeld, a leftover that cannot
# be removed (another program holds it open) leaves its name alone and the file is made as
# "<name>-<16 random hex><extension>" beside it instead. Returns the path of the file made.
function New-FreshFile {
    param([Parameter(Mandatory = $true)][string]$Path, [byte[]]$Bytes = @(), [switch]$OtherNameWhenHeld)
    $attributes = Get-FolderItemAttributes -Path $Path
    if ($null -ne $attributes) {
        if (Test-IsLinkAttribute -Attributes $attributes) {
            Remove-FolderLink -Path $Path -Attributes $attributes
        } elseif (($attributes -band [System.IO.FileAttributes]::Directory) -eq 0) {
            Remove-FileQuietly -Path $Path
            if ($OtherNameWhenHeld -and $null -ne (Get-FolderItemAttributes -Path $Path)) {
                $Path = Join-Path (Split-Path -Parent $Path) ('{0}-{1}{2}' -f [System.IO.Path]::GetFileNameWithoutExtension($Path), (Get-RandomHexTail), [System.IO.Path]::GetExtension($Path))
            }
        }
    }
    $stream = New-Object System.IO.FileStream($Path, [System.IO.FileMode]::CreateNew, [System.IO.FileAccess]::Write, [System.IO.FileShare]::None)
    try {
        $stream.Write($Bytes, 0, $Bytes.Length)
    } finally {
        $stream.Dispose()
    }
    return $Path
}
#endregion
