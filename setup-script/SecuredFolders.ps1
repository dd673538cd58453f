## Secured folders: a folder this elevated script writes into, runs installers from or
## deletes in is private to administrators, or it is set aside and replaced, or a fresh
## private folder beside it is used; files are made fresh and deleted without following
## links. Uses nothing from earlier parts.

#region Secured folders

# Every standard user may add files and folders below ProgramData and owns what they add. The
# folders this elevated script writes into, runs installers from and deletes in must therefore
# be private to administrators: a folder made here gets its owner and a protected DACL in the
# same call that creates it. A folder that is already there is used only when nobody but
# Administrators, SYSTEM or TrustedInstaller could ever have changed it. Anything else is never
# adopted: a link is removed as a link, and a folder that others could change, or a file where
# a folder belongs, is moved aside under a new name that nobody can guess in advance, with
# everything in it untouched, and a new folder takes its place. Files someone planted there
# therefore never reach the cache or the folder an installer runs from, and handles opened on
# the old folder keep pointing at the moved one. A folder that still cannot be made private
# (another user's process holds it open, or someone keeps re-creating it) does not stop the
# run: a fresh private folder with a random name beside it is used instead.
#
# Only Get-FolderItemSecurity and New-FolderWithSecurity touch Windows security. Security is
# passed as security descriptor text (owner, DACL flags and entries by SID), which also keeps
# "no DACL" (everyone full control) apart from "an empty DACL".

# The folder rule's constants.
$script:AdministratorsSid = 'S-1-5-32-544'
$script:SystemSid = 'S-1-5-18'
# NT SERVICE\TrustedInstaller: S-1-5-80 followed by the first five little-endian 32-bit words
# of the SHA-1 of the upper-case service name in UTF-16LE.
$script:TrustedInstallerSid = 'S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464'
$script:UsersSid = 'S-1-5-32-545'
# Owners a secured folder may have, who are also the only ones allowed to change it.
$script:SecuredFolderOwners = @($script:AdministratorsSid, $script:SystemSid, $script:TrustedInstallerSid)
# The protected DACL of a secured folder, inherited by everything in it.
$script:SecuredFolderAccess = @(
    [pscustomobject]@{ Sid = $script:SystemSid; Rights = 0x1F01FF },          # full control
    [pscustomobject]@{ Sid = $script:AdministratorsSid; Rights = 0x1F01FF },  # full control
    [pscustomobject]@{ Sid = $script:UsersSid; Rights = 0x1200A9 }            # read and execute
)
# Access bits that let their holder change a folder or what is in it: write data / add file,
# append data / add subfolder, write extended attributes, delete child, write attributes,
# delete, write DAC, write owner, generic all, generic write (full control holds them all).
$script:FolderWriteRights = 0x500D0156
# How often a folder is replaced before giving up, and how many random names are tried for a
# fresh folder: only someone racing this script makes a fresh folder fail its check.
$script:SecuredFolderAttempts = 3
# A folder moved aside keeps its name with this mark, the time and 64 random bits:
# "Downloads.untrusted-20261208-143000-9f2c4e1a0b7d3c65".
$script:SetAsideMark = '.untrusted-'
# Said in the log and the report when a level is replaced by a fresh folder beside it
# ({0} the blocked folder, {1} why, {2} the folder used instead).
$script:FallbackFolderFormat = 'The folder {0} could not be secured ({1}); this run used {2} instead.'

# Security descriptor text of a secured folder: owner Administrators and the protected DACL
# above, each entry inherited by subfolders and files.
function Get-SecuredFolderSddl {
    $entries = foreach ($entry in $script:SecuredFolderAccess) {
        '(A;OICI;0x{0};;;{1})' -f ([long]$entry.Rights).ToString('x', [Globalization.CultureInfo]::InvariantCulture), $entry.Sid
    }
    return ('O:{0}D:P{1}' -f $script:AdministratorsSid, ($entries -join ''))
}

# The attributes of the item at Path without following a link there, or $null when nothing
# is there.
function Get-FolderItemAttributes {
    param([Parameter(Mandatory = $true)][string]$Path)
    try {
        return [System.IO.File]::GetAttributes($Path)
    } catch [System.IO.FileNotFoundException], [System.IO.DirectoryNotFoundException] {
        return $null
    }
}

# True when the attributes mark a reparse point: a junction, mount point or symbolic link.
function Test-IsLinkAttribute {
    param([Parameter(Mandatory = $true)][System.IO.FileAttributes]$Attributes)
    return (($Attributes -band [System.IO.FileAttributes]::ReparsePoint) -ne 0)
}

# Removes a junction, mount point or symbolic link itself; what it points to is not touched.
function Remove-FolderLink {
    param(
        [Parameter(Mandatory = $true)][string]$Path,
        [Parameter(Mandatory = $true)][System.IO.FileAttributes]$Attributes
    )
    if (($Attributes -band [System.IO.FileAttributes]::Directory) -ne 0) {
        # Removing a directory link without recursion deletes the link, never the target's files.
        [System.IO.Directory]::Delete($Path)
    } else {
        [System.IO.File]::Delete($Path)
    }
}

# Reads the owner and every access rule (own and inherited) of a file or folder: Owner as a
# SID string, Access as entries with Sid, Rights (the access mask) and Allow. Windows only.
function Get-FolderItemSecurity {
    param([Parameter(Mandatory = $true)][string]$Path)
    $sidType = [System.Security.Principal.SecurityIdentifier]
    $security = Get-Acl -LiteralPath $Path
    $owner = $security.GetOwner($sidType)
    $ownerSid = ''
    if ($null -ne $owner) {
        $ownerSid = $owner.Value
    }
    $access = @()
    foreach ($rule in $security.GetAccessRules($true, $true, $sidType)) {
        $access += [pscustomobject]@{
            Sid    = $rule.IdentityReference.Value
            Rights = [long][int]$rule.FileSystemRights
            Allow  = ($rule.AccessControlType -eq [System.Security.AccessControl.AccessControlType]::Allow)
        }
    }
    return [pscustomobject]@{ Owner = $ownerSid; Access = $access }
}

# Creates one folder with the given security descriptor applied by the creating call itself.
# A folder that already exists is left as it is; the caller checks it afterwards. Windows
# PowerShell 5.1 (.NET Framework) has Directory.CreateDirectory(path, security); PowerShell 7
# has FileSystemAclExtensions.Create(DirectoryInfo, security) instead. Windows only.
function New-FolderWithSecurity {
    param(
        [Parameter(Mandatory = $true)][string]$Path,
        [Parameter(Mandatory = $true)][string]$Sddl
    )
    $security = New-Object System.Security.AccessControl.DirectorySecurity
    $security.SetSecurityDescriptorSddlForm($Sddl)
    $securityType = [System.Security.AccessControl.DirectorySecurity]
    $frameworkCreate = [System.IO.Directory].GetMethod('CreateDirectory', [type[]]@([string], $securityType))
    if ($null -ne $frameworkCreate) {
        $null = [System.IO.Directory]::CreateDirectory($Path, $security)
        return
    }
    $extensions = 'System.IO.FileSystemAclExtensions' -as [type]
    $null = $extensions::Create((New-Object System.IO.DirectoryInfo $Path), $security)
}

# 16 lower-case hexadecimal digits from 64 bits of the system's cryptographic random number
# generator: a name tail that nobody can take in advance.
function Get-RandomHexTail {
    $bytes = New-Object byte[] 8
    $generator = [System.Security.Cryptography.RandomNumberGenerator]::Create()
    try {
        $generator.GetBytes($bytes)
    } finally {
        $generator.Dispose()
    }
    return (($bytes | ForEach-Object { $_.ToString('x2', [Globalization.CultureInfo]::InvariantCulture) }) -join '')
}

# Says why the item at Path is not a secured folder, or returns "" when it is one: a real
# folder (no link), owned by Administrators, SYSTEM or TrustedInstaller, on which nobody else
# is allowed any kind of write access.
function Get-FolderSafetyProblem {
    param([Parameter(Mandatory = $true)][string]$Path)
    $attributes = Get-FolderItemAttributes -Path $Path
    if ($null -eq $attributes) {
        return 'it does not exist'
    }
    if (Test-IsLinkAttribute -Attributes $attributes) {
        return 'it is a link'
    }
    if (($attributes -band [System.IO.FileAttributes]::Directory) -eq 0) {
        return 'a file of that name is in the way'
    }
    try {
        $security = Get-FolderItemSecurity -Path $Path
    } catch {
        # Permissions that shut administrators out cannot be judged, so the folder is not trusted.
        return ('its permissions cannot be read: {0}' -f $_.Exception.Message)
    }
    if ($script:SecuredFolderOwners -notcontains $security.Owner) {
        return ('it is owned by {0}' -f $security.Owner)
    }
    foreach ($entry in @($security.Access)) {
        if ($entry.Allow -and $script:SecuredFolderOwners -notcontains $entry.Sid -and ([long]$entry.Rights -band $script:FolderWriteRights) -ne 0) {
            return ('{0} may change it' -f $entry.Sid)
        }
    }
    return ''
}

# The name beside Path for setting aside what is there: its name, the mark, the local time
# and a random tail ("Downloads.untrusted-20261208-143000-9f2c4e1a0b7d3c65"), which nobody
# can have taken in advance.
function Get-SetAsidePath {
    param([Parameter(Mandatory = $true)][string]$Path)
    $stamp = (Get-Date).ToString('yyyyMMdd-HHmmss', [Globalization.CultureInfo]::InvariantCulture)
    return ('{0}{1}{2}-{3}' -f $Path, $script:SetAsideMark, $stamp, (Get-RandomHexTail))
}

# Renames a folder, or a file standing where a folder belongs, within its parent, without
# replacing anything at the new name. Nothing in it is opened, changed or followed.
function Move-FolderAside {
    param(
        [Parameter(Mandatory = $true)][string]$Path,
        [Parameter(Mandatory = $true)][string]$Destination
    )
    if ([System.IO.Directory]::Exists($Path)) {
        [System.IO.Directory]::Move($Path, $Destination)
    } else {
        [System.IO.File]::Move($Path, $Destination)
    }
}

# Creates a folder that did not exist before, named Stem, a dot and a random tail
# ("Downloads\Install.9f2c4e1a0b7d3c65"), its protection given by the creating call, and
# returns its path. Nobody can have prepared that name; a name taken all the same, or a
# folder that is not private once made, is passed over for a new name. Throws when no
# attempt gives a private folder.
function New-PrivateFolder {
    param([Parameter(Mandatory = $true)][string]$Stem)
    $problem = ''
    for ($attempt = 1; $attempt -le $script:SecuredFolderAttempts; $attempt++) {
        $candidate = '{0}.{1}' -f $Stem, (Get-RandomHexTail)
        try {
            if ($null -ne (Get-FolderItemAttributes -Path $candidate)) {
                $problem = ('{0} already exists' -f $candidate)
                continue
            }
            New-FolderWithSecurity -Path $candidate -Sddl (Get-SecuredFolderSddl)
            $problem = Get-FolderSafetyProblem -Path $candidate
            if ($problem -eq '') {
                return $candidate
            }
        } catch {
            $problem = $_.Exception.Message
        }
    }
    throw ('no private folder could be made beside it: {0}' -f $problem)
}

# The result of Initialize-SecuredFolder: the folder to use, how it was found ("Created",
# "Verified", "Replaced" or "Fallback"), the log lines about what was set aside or removed
# (Notes) and, for a fallback, the warning that names the blocked folder ("" otherwise).
function New-SecuredFolderResult {
    param([string]$Path, [string]$Outcome, $Notes, [string]$Warning = '')
    return [pscustomobject]@{ Path = $Path; Outcome = $Outcome; Notes = $Notes.ToArray(); Warning = $Warning }
}

# Makes Path a folder that only administrators (and the system) can change, its parent being
# secured already. A missing folder is created with its protection; a link there is removed
# as a link; a folder that others could have changed, or a file in the way, is set aside (see
# Get-SetAsidePath) and a new folder created. When Path is still not private after its
# rounds, or setting aside fails (another user's process holds the folder open), a fresh
# private folder beside it (New-PrivateFolder) is returned instead, with a warning saying
# which folder was blocked and why. Throws "The folder {0} could not be secured: {1}" only
# when not even that fresh folder can be made.
function Initialize-SecuredFolder {
    param([Parameter(Mandatory = $true)][string]$Path)
    $outcome = 'Verified'
    $notes = New-Object System.Collections.Generic.List[string]
    $problem = ''
    try {
        for ($attempt = 1; $attempt -le $script:SecuredFolderAttempts; $attempt++) {
            $attributes = Get-FolderItemAttributes -Path $Path
            if ($null -ne $attributes -and (Test-IsLinkAttribute -Attributes $attributes)) {
                Remove-FolderLink -Path $Path -Attributes $attributes
                $notes.Add(('Removed the link at {0}; a new private folder takes its place.' -f $Path))
                $attributes = $null
            }
            if ($null -eq $attributes) {
                New-FolderWithSecurity -Path $Path -Sddl (Get-SecuredFolderSddl)
                $outcome = 'Created'
            }
            $problem = Get-FolderSafetyProblem -Path $Path
            if ($problem -eq '') {
                if ($notes.Count -gt 0) {
                    $outcome = 'Replaced'
                }
                return New-SecuredFolderResult -Path $Path -Outcome $outcome -Notes $notes
            }
            if ($problem -eq 'it does not exist' -or $problem -eq 'it is a link') {
                # Someone is racing this script; the next round starts over.
                continue
            }
            if ($attempt -eq $script:SecuredFolderAttempts) {
                # Give up without piling up one more set-aside copy.
                break
            }
            $aside = Get-SetAsidePath -Path $Path
            Move-FolderAside -Path $Path -Destination $aside
            $notes.Add(('Set aside {0} as {1} because {2}; a new private folder takes its place.' -f $Path, $aside, $problem))
        }
        $problem = ('it was still not private after {0} attempts: {1}' -f $script:SecuredFolderAttempts, $problem)
    } catch {
        $problem = $_.Exception.Message
    }
    try {
        $fallback = New-PrivateFolder -Stem $Path
    } catch {
        throw ('The folder {0} could not be secured: {1}; {2}' -f $Path, $problem, $_.Exception.Message)
    }
    $warning = $script:FallbackFolderFormat -f $Path, $problem, $fallback
    return New-SecuredFolderResult -Path $fallback -Outcome 'Fallback' -Notes $notes -Warning $warning
}

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
# anything appears at the path in between.
function New-FreshFile {
    param([Parameter(Mandatory = $true)][string]$Path, [byte[]]$Bytes = @())
    $attributes = Get-FolderItemAttributes -Path $Path
    if ($null -ne $attributes) {
        if (Test-IsLinkAttribute -Attributes $attributes) {
            Remove-FolderLink -Path $Path -Attributes $attributes
        } elseif (($attributes -band [System.IO.FileAttributes]::Directory) -eq 0) {
            Remove-FileQuietly -Path $Path
        }
    }
    $stream = New-Object System.IO.FileStream($Path, [System.IO.FileMode]::CreateNew, [System.IO.FileAccess]::Write, [System.IO.FileShare]::None)
    try {
        $stream.Write($Bytes, 0, $Bytes.Length)
    } finally {
        $stream.Dispose()
    }
}
#endregion
